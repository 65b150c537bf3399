// libbraidmill: a multiplexer for MPEG-2 transport streams.
//
// A client creates every object with new, connects them, calls
// CMuxIface::Run and CMuxIface::WaitFinish, and deletes the objects again
// (sources, input modules, sink, engine). Objects are deleted only after
// WaitFinish has returned. Nothing here throws.
#pragma once

// The library's version; the build takes its project version from these.
#define BRAIDMILL_VERSION_MAJOR 2
#define BRAIDMILL_VERSION_MINOR 0
#define BRAIDMILL_VERSION_PATCH 0
#define BRAIDMILL_VERSION_STRING "2.0.0"

#include <atomic>
#include <cstdio>
#include <vector>

#if defined(__GNUC__)
#define BRAIDMILL_API __attribute__((visibility("default")))
#else
#define BRAIDMILL_API
#endif

// One elementary stream of a program, as its PMT gives it.
struct _ES_INFO
{
    int nPid;        // elementary_PID, 0..8191
    int nStreamType; // stream_type, 0..255
};

// One program of an input. It carries no program number: the engine
// numbers programs afresh.
struct _PROGRAM_INFO
{
    int nPcrPid;                     // PCR_PID from the program's PMT
    int nPmtPid;                     // PID of the program's PMT, from the PAT
    std::vector<_ES_INFO> vecEsInfo; // streams in PMT order
};

// Timing of an input: bNoTiming nonzero or nTimingMode 1 hand packets out
// as fast as the mux asks; nTimingMode 0 paces them by the input's PCRs.
struct _SOURCE_ATTRIBUTE
{
    int bNoTiming;
    int nTimingMode;
    int nReserved; // not read
};

// What an input does with a packet that arrives while its buffer is full.
enum _OVERFLOW_TREATMENT
{
    OVERFLOW_OVERWRITE_OLDEST = 0,
    OVERFLOW_WAIT = 1
};

// Figures of one input of a multiplex (CMuxIface::GetStats).
struct _MUX_INPUT_STATS
{
    long long llPacketsRead;  // packets the source handed over
    long long llPacketsMuxed; // packets of the input written to the output
    long long llDropped;      // packets lost: input queue overflow, or left queued at a stop
    long long llLate;         // packets that left too late for their decoders (see GetStats)
    long long llCcErrors;     // continuity errors on the input's program PIDs (a duplicate is none)
    long long llPcrs;         // PCRs seen on the PID that paces the input
    int nBitRate;             // the input's rate from its PCRs, bit/s; -1 not known
};

// Figures of one output program.
struct _MUX_PROGRAM_STATS
{
    int nProgramNumber;
    int nInput;             // 1-based, in AddInputModule order
    long long llPackets;    // packets of its streams written (tables not counted)
    long long llPcrs;       // PCRs written on its PCR PID, inserted ones included
    int nMaxPcrIntervalUs;  // longest gap between two PCRs written, microseconds; -1 none yet
    // How its packets fared in the multiplex. Every packet of a program
    // leaves one constant delay after its input's time, plus what waiting
    // for a free slot adds: that addition is the delay here.
    long long llLate;       // packets whose delay left less than 100 ms of the decoding margin
    int nMaxDelayUs;        // largest delay, microseconds
    int nMarginUs;          // decoding margin: smallest DTS (else PTS) - PCR of its input's PES
                            // so far, microseconds; -1 not known yet
    int nPcrPid;            // the PID its PMT names PCR_PID now; 0x1FFF none
};

// Figures of a multiplex, consistent as of one moment of its output.
struct _MUX_STATS
{
    long long llSlots;        // output packets written
    long long llNullSlots;    // of them null packets
    long long llTableSlots;   // of them PAT, PMT, SDT and NIT packets
    long long llPcrsInserted; // PCR-only packets the engine added
    long long llBitRate;      // the output rate, bit/s
    std::vector<_MUX_INPUT_STATS> vInputs;     // AddInputModule order
    std::vector<_MUX_PROGRAM_STATS> vPrograms; // numbering order
    // The furthest the real-time output fell behind its schedule (a stall of
    // the process or the machine) and then caught up, microseconds.
    long long llMaxCatchUpUs;
    int nSdtIntervalMs; // how often the SDT goes out
    int nNitIntervalMs; // how often the NIT goes out
};

// Receives every line the library logs instead of standard output: level 0
// debug, 1 warning, 2 error, 3 report text (the PSI analyzer's); the line has
// no prefix and no newline. Called under the logger's lock, one call at a time.
typedef void (*BraidmillLogHandler)(int nLevel, const char* szLine, void* pUser);

class CInputModule;
class CMuxCore;
class COutPutModuleBase;

// One input of the multiplex. Fed by a source thread (RecvOnePacket,
// StreamEnd), drained by the engine. GetOnePacket and ReleaseBuffer let a
// client drain it itself instead: the next packet, on its output PID, once
// its time has come (PTS/DTS deltas and nPcrPid are given as -1).
class BRAIDMILL_API CInputModuleIface
{
public:
    CInputModuleIface();
    ~CInputModuleIface();
    CInputModuleIface(const CInputModuleIface&) = delete;
    CInputModuleIface& operator=(const CInputModuleIface&) = delete;

    void SetSourceAttribute(_SOURCE_ATTRIBUTE attr);
    void SetPrepareType(_OVERFLOW_TREATMENT type);
    void Start();
    void RecvOnePacket(unsigned char* data, int len);
    void StreamEnd();
    bool IsReady();
    int GetProgramCount();
    std::vector<_PROGRAM_INFO>* GetDemuxInfo();
    int* GetPidMapList();
    unsigned char* GetOnePacket(long long& llPtsDelta, long long& llDtsDelta, int& nPcrPid);
    void ReleaseBuffer(unsigned char* packet);
    bool IsStreamEnd();

    // True once the stream has ended while its programs are still unknown:
    // the input can never become ready.
    bool CanNeverBeReady();
    // Makes a RecvOnePacket that waits for room return at once, so that a
    // reader thread can be stopped while nothing drains the input.
    void AbortWait();
    // The input's rate, bit/s, for pacing an input whose PCRs are missing or
    // unusable (before data arrives). Without it such an input is paced at an
    // even share of the output rate.
    void SetBitRate(int nBitsPerSecond);
    // The input arrives in real time, from a network or a live encoder
    // (before data). Its sender's clock is recovered from its PCRs against
    // their arrival, so that its packets leave at a constant delay however
    // far that clock runs from ours; the engine never waits for it (a silent
    // input leaves its programs empty), and a full buffer drops what
    // arrives, counted, instead of holding the source.
    void SetLive(bool bLive);
    // The input's rate from its PCRs over the longest stretch on one time
    // base seen so far, bit/s; -1 not known yet. For an input that can be
    // read only once (a pipe, a socket) in place of GetSourceRate.
    int GetBitRate();
    // From the source, any thread: its feed is lost (a connection dropped,
    // a timeout). The engine takes the input as down at once instead of
    // after its input timeout: the programs stay in the tables, empty, and
    // the first packet that comes again starts with discontinuity_indicator
    // on each PID, as every resume after an outage does.
    void SetFeedDown();
    // From the source's reader thread: true while it waits for data that
    // has not come (an empty pipe or FIFO), false once data is there again.
    // In real time the engine then waits no more than a moment for an input
    // that has nothing queued: the output keeps its rate without it, and the
    // input resumes as after an outage. Sources that never wait for data (a
    // file) leave it unset and are always waited for.
    void SetFeedWaiting(bool bWaiting);
    // Packets the source has handed over (RecvOnePacket), from any thread.
    long long GetPacketsReceived();
    // Only these programs of the input (program_numbers of its PAT) go into
    // the multiplex (before data): the others' PIDs are dropped as they
    // arrive and they do not count in the tables; the input is ready once
    // the PMTs of those chosen are known. A chosen program the PAT does not
    // name is said once (a warning line) when the engine takes the input's
    // tables. Empty (the default): every program.
    void ChoosePrograms(const std::vector<int>& vProgramNumbers);
    // Of the input's first packets after it became ready (about 4,000, the
    // same ones on every run of a file), the share its programs carry (the
    // chosen ones, with ChoosePrograms): what of its rate goes into the
    // multiplex. 0 to 1; -1 until they have come or the stream ended (any
    // thread).
    double GetProgramShare();

private:
    friend class CMuxCore;
    CInputModule* m_pModule;
};

// The multiplex engine.
class BRAIDMILL_API CMuxIface
{
public:
    CMuxIface();
    ~CMuxIface();
    CMuxIface(const CMuxIface&) = delete;
    CMuxIface& operator=(const CMuxIface&) = delete;

    void SetOutputBitRate(float rate); // units of 1,048,576 bit/s
    void SetOutPutModule(COutPutModuleBase* out);
    void AddInputModule(CInputModuleIface* in);
    void Run();
    void WaitFinish();

    // True when Run refused to start (no positive rate, no sink) or gave up
    // on an input that can never become ready; WaitFinish then returns at once.
    bool IsFailed() const;
    // Programs left out of the multiplex because PIDs or program numbers
    // ran out.
    int GetOmittedProgramCount() const;
    // Output-time clock instead of the wall clock (before Run): the
    // multiplex a perfect real-time run would give, as fast as possible.
    void SetVirtualClock(bool bVirtual);
    // The output rate in bit/s, exactly (before Run); overrides SetOutputBitRate.
    void SetOutputBitRateBps(long long llBitsPerSecond);
    // Identity of the output (before Run). The NIT carries a
    // network_name_descriptor and the PAT lists the NIT once a name is set.
    void SetTransportStreamId(int nId);    // PAT and SDT; default 1
    void SetOriginalNetworkId(int nId);    // SDT; default 0
    void SetNetworkId(int nId);            // NIT; default 0
    void SetNetworkName(const char* name); // NIT; default none
    // The nIndex-th program left out (numbering order): its input (1-based)
    // and its program_number in that input; false past the last.
    bool GetOmittedProgram(int nIndex, int& nInput, int& nProgramNumber) const;
    // Bit/s the output tables take, the inputs numbered as they stand; -1
    // while an input is not ready. Before Run, after the output rate is set:
    // at that rate the SDT and NIT may repeat less often (see SetSdtInterval);
    // with no rate set yet, every table as often as it may go.
    long long GetTableBitRate();
    // Ends the run after this much output time, seconds (before Run); 0
    // (the default) runs until the inputs end.
    void SetDuration(double fSeconds);
    // Ends the run early, from any thread: the inputs are taken as ended, the
    // output is written up to where it stands, whole packets only, and
    // WaitFinish returns.
    void Stop();
    // A snapshot of the figures, from any thread; false before Run. A
    // packet counts as late when the delay it took through the multiplex
    // leaves less than 100 ms of its program's decoding margin (or, for a
    // margin under 200 ms, less than half of it), so that its data may reach
    // a decoder after its time; until a program's margin is known, past
    // 100 ms of delay.
    bool GetStats(_MUX_STATS& stats) const;
    // true: the output SDT carries each program's service name, provider
    // name and service_type from its input's SDT, and follows their changes;
    // programs without one keep the numbered names. false (the default):
    // numbered names for all. Before Run.
    void SetServiceNames(bool bFromInputs);
    // How often the SDT (25 to 2,000 ms) and the NIT (25 to 10,000 ms) go
    // out (before Run); a value out of range is refused with an error line.
    // 0 (the default): every 80 ms like PAT and PMTs while the tables take
    // at most 5 % of the output rate, else as rarely as needed to get there,
    // the SDT up to every 1,000 ms, the NIT up to every 5,000 ms.
    void SetSdtInterval(int nMs);
    void SetNitInterval(int nMs);
    // Real time for the thread that writes the output (before Run): it runs
    // under SCHED_FIFO at nPriority (1-99) with the process's memory locked
    // and its own stack and buffers touched first, so that a busy machine
    // delays it least; the input readers keep their normal priority. Where
    // the system does not permit it, one line says so and the run goes on
    // without. 0 (the default): normal priority. Not used with the
    // output-time clock. False, and nothing changed, for a priority outside
    // 0-99.
    bool SetRealtimePriority(int nPriority);
    // How long Run waits at most for the inputs to find their programs
    // (PAT and PMTs), milliseconds; default 10,000. In real time Run then
    // starts with the inputs that did, and each other one joins when it
    // does (its programs numbered after all others, the tables with a new
    // version); in output time (SetVirtualClock) an input that did not is
    // an error. Run fails when no input found its programs. Before Run.
    void SetStartWaitMs(int nMs);
    // The wait Run makes, for a client that needs the inputs' programs
    // first (before Run, on the client's thread): returns once every input
    // knows its programs, one never will (CanNeverBeReady), nMaxMs passed
    // (-1: no limit) or Stop was called. Returns how many are ready.
    int WaitForInputs(int nMaxMs);
    // In real time, an input whose source hands over nothing for this long
    // (its queue empty) is down: a line says so, its programs stay in the
    // tables, empty, and when it sends again (another line) its first
    // packet of each PID carries discontinuity_indicator. Milliseconds,
    // default 1,000. Before Run.
    void SetInputTimeoutMs(int nMs);
    // Scrambled services (before AddInputModule, and that before the
    // input's source starts: an input follows from its next packet on, what
    // it took before kept no ECM or EMM packets). true: every program keeps
    // its CA descriptors (program and stream level) with the ECM PIDs they
    // name carried on PIDs of the program's own block; the inputs' CATs make
    // the output's CAT, on PID 0x0001 every 80 ms, their EMM PIDs carried on
    // PIDs from 0x0020 up to 1010, below every program's; each service's
    // free_CA_mode in the SDT is its input's (where its input's SDT has no
    // entry for it: set when its PMT has CA descriptors). false (the
    // default): CA descriptors are left out, ECM and EMM PIDs are not
    // carried, no CAT, free_CA_mode 0. Scrambled packets pass untouched
    // either way.
    void SetCaPass(bool bPass);
    // Program nProgramNumber of input nInput (1-based, AddInputModule order)
    // is numbered nOutNumber (1-65535) in the output; the other programs
    // are numbered from 101 on around the numbers asked for. Before Run.
    // False, with an error line and nothing kept, for a number out of range
    // or one another program has asked for.
    bool SetOutputProgramNumber(int nInput, int nProgramNumber, int nOutNumber);

private:
    CMuxCore* m_pCore;
};

// Receives every output packet, 188 bytes each, on the output thread.
class BRAIDMILL_API COutPutModuleBase
{
public:
    COutPutModuleBase();
    virtual ~COutPutModuleBase();
    COutPutModuleBase(const COutPutModuleBase&) = delete;
    COutPutModuleBase& operator=(const COutPutModuleBase&) = delete;

    virtual void RenderOnePacket(unsigned char* packet) = 0;
    virtual void Destroy() = 0;
    // nCount packets back to back (188 * nCount bytes), in output order. The
    // engine writes through this; the default calls RenderOnePacket for each.
    virtual void RenderPackets(unsigned char* packets, int nCount);
    // True once the sink can take no more (a failed write): the engine then
    // stops the run. The default never breaks.
    virtual bool IsBroken() const;
    // In real time, the most output, in milliseconds, the engine may hand
    // over in one call: short for a sink whose bytes must leave evenly (the
    // default, 2 ms), longer where larger writes cost less and nobody sees
    // the bursts (a file).
    virtual int GetWriteIntervalMs() const;
    // Packets that leave together (a datagram): in real time the engine
    // hands them over in whole units, as many per call as come closest to
    // the write interval (at least one). The default, 1.
    virtual int GetPacketsPerUnit() const;
    // In real time, how far above the output rate the engine may write,
    // percent, to make up for a stall (the process stopped, the machine
    // busy): then a call's worth at a time, the calls spaced out, so that a
    // receiver with a small buffer sees no burst. 0 (the default): all that
    // is owed at once, as a file wants it.
    virtual int GetCatchUpPercent() const;
};

// Writes the multiplex to a file.
class BRAIDMILL_API COutPutModuleFile : public COutPutModuleBase
{
public:
    COutPutModuleFile();
    virtual ~COutPutModuleFile();

    int OpenFile(const char* path); // 0 open, -1 failed
    // Writes to standard output, 0 or -1. It keeps a duplicate of descriptor
    // 1, so the client may then point descriptor 1 elsewhere (standard
    // error) to keep every other byte out of the multiplex.
    int OpenStdout();
    void RenderOnePacket(unsigned char* packet) override;
    void RenderPackets(unsigned char* packets, int nCount) override;
    void Destroy() override;
    bool IsBroken() const override { return HasWriteError(); }
    int GetWriteIntervalMs() const override;

    // True when a write, a flush or the close failed or was short.
    bool HasWriteError() const;

private:
    FILE* m_pFile;
    long long m_nWriteErrors; // failed or short writes, and a failed close
};

// Feeds one input module from a thread of its own.
class BRAIDMILL_API CSourceBase
{
public:
    CSourceBase();
    virtual ~CSourceBase();
    CSourceBase(const CSourceBase&) = delete;
    CSourceBase& operator=(const CSourceBase&) = delete;

    void InitBuffer(int size);
    void SetRecvModule(CInputModuleIface* module);
    void StartRead();

protected:
    virtual void WorkFun() = 0;
    // For derived destructors: stop the reader and wait for its thread, so
    // that WorkFun never runs on a half-destroyed object.
    void StopAndJoin();
    bool IsStopRequested() const;

private:
    static unsigned long WorkThread(void* param);

protected:
    void* m_hThread; // platform thread object; null until StartRead
    CInputModuleIface* m_pRecvModule;
    unsigned char* m_pBuffer;
    int m_nBufferSize;

private:
    std::atomic<bool> m_bStop; // set by StopAndJoin, read by the reader thread
};

// Reads a TS file from its start to its end: packets of 188 bytes, of 192
// (a timestamp before each) or of 204 (parity after each), all handed on as
// 188-byte packets. Bytes before the first packet are skipped; a file with
// no packets among its first bytes ends the input at once.
class BRAIDMILL_API CSourceFile : public CSourceBase
{
public:
    CSourceFile();
    virtual ~CSourceFile();

    // 0 open, -1 failed. A FIFO is opened at once, without waiting for its
    // writer; its reader then waits for one.
    int OpenFile(const char* path);
    // Reads a descriptor (a pipe, a FIFO, a socket, a file) and closes it at
    // the end; name is for the log lines. The reader waits for data in steps
    // of 100 ms, so that a stop ends the wait; a read returns once the read
    // buffer is full or the writer has gone, so keep the buffer small for a
    // live pipe. 0 open, -1 failed (the descriptor is closed then too).
    int OpenFd(int fd, const char* name);
    // OpenFd on a duplicate of standard input, named "stdin".
    int OpenStdin();
    // Playout (before StartRead, for a file opened with OpenFile): the end
    // of the file starts it again from its first packet, for ever. Each pass
    // after the first starts with discontinuity_indicator set on each PID
    // (in an inserted adaptation-only packet where the first one has no
    // adaptation field), so that its PCRs and continuity counters jump back
    // as signalled discontinuities.
    void SetLoop(bool bLoop);

protected:
    void WorkFun() override;

private:
    friend class CPolledFdStream; // asks IsStopRequested while a read waits
    int OpenFifo(const char* path);

    FILE* m_pFile;
    char m_szFileName[256];
    bool m_bLoop;
};

// Bit rate of a TS file in bit/s, estimated from the PCRs of its first
// 3,850,240 bytes (the whole file when it is shorter); -1 when the file
// cannot be opened or no estimate can be made.
BRAIDMILL_API int GetSourceRate(const char* path);

// Bytes from one packet to the next in a TS file, as its reader finds them
// among its first bytes: 188, 192 (a 4-byte timestamp before each packet) or
// 204 (16 bytes of parity after it); the reader hands on 188-byte packets in
// every case. -1 when the file cannot be read or holds no packets there.
BRAIDMILL_API int GetSourcePacketSize(const char* path);

// Routes the library's log lines to fn (see BraidmillLogHandler); null
// restores standard output.
BRAIDMILL_API void SetLogHandler(BraidmillLogHandler fn, void* pUser);

// Sample exports; nothing uses them.
class BRAIDMILL_API Clibbraidmill
{
public:
    Clibbraidmill();
    Clibbraidmill& operator=(const Clibbraidmill&);
};
BRAIDMILL_API int fnlibbraidmill();
extern BRAIDMILL_API int nlibbraidmill;

class CSourceUdpState;
class COutPutModuleUdpState;

// Receives TS over UDP or RTP, unicast or multicast, and feeds an input
// module from its reader thread. A network input has no end: it runs until
// it is deleted (or, with SetTimeoutMs, until the sender falls silent), and
// then ends its input's stream. InitBuffer is not needed: it receives into
// buffers of its own.
class BRAIDMILL_API CSourceUdp : public CSourceBase
{
public:
    CSourceUdp();
    virtual ~CSourceUdp();

    // udp://[source@]host:port[?localaddr=IP] or rtp://... (the RTP header is
    // removed). A multicast group is joined (source-specific with a source)
    // on localaddr's interface; "udp://:port" takes unicast datagrams to any
    // local address. 0 bound and joined, -1 refused: GetError says why.
    // Before StartRead; datagrams that come before it wait in the socket.
    int Open(const char* url);
    const char* GetError() const; // "" after a successful Open
    // No datagram for this long ends the stream with a log line; 0 (the
    // default) waits for ever. Before StartRead.
    void SetTimeoutMs(int nMs);

    // Figures, from any thread.
    long long GetSequenceGaps() const;  // RTP datagrams missing by their sequence numbers
    long long GetBadDatagrams() const;  // dropped: not whole TS packets, or no RTP header
    long long GetPackets() const;       // TS packets handed to the input module
    long long GetDatagrams() const;     // datagrams received, bad ones included
    long long GetReceiveCalls() const;  // receive system calls that returned datagrams
    int GetReceiveBufferBytes() const;  // the socket receive buffer the kernel granted

protected:
    void WorkFun() override;

private:
    CSourceUdpState* m_pState;
};

// Sends the multiplex over UDP or RTP: 7 packets per datagram by default,
// each full datagram as soon as it is full, all of one RenderPackets call in
// one system call. Used by the engine's output thread; Open, SetBitRate and
// Destroy come from the client before Run or after WaitFinish.
class BRAIDMILL_API COutPutModuleUdp : public COutPutModuleBase
{
public:
    COutPutModuleUdp();
    virtual ~COutPutModuleUdp();

    // udp://host:port[?ttl=N&localaddr=IP&pkts=N] or rtp://... (pkts 1 to 7).
    // 0 open, -1 refused: GetError says why.
    int Open(const char* url);
    const char* GetError() const; // "" after a successful Open
    // The output rate, for the RTP timestamps (before the run): a datagram
    // is stamped with the output time of its first packet, 90 kHz. Without
    // it the stamps come from the monotonic clock.
    void SetBitRate(long long llBitsPerSecond);

    void RenderOnePacket(unsigned char* packet) override;
    void RenderPackets(unsigned char* packets, int nCount) override;
    // Sends what is left as a short last datagram and closes the socket.
    void Destroy() override;
    // True after a send error other than a transient one (no receiver,
    // no route, no buffer space: those are counted and dropped).
    bool IsBroken() const override;
    // A datagram's packets (7, or pkts=) leave together; after a stall the
    // output catches up at most 10 % above its rate.
    int GetPacketsPerUnit() const override;
    int GetCatchUpPercent() const override;

    // Figures, from any thread.
    long long GetDatagramsSent() const;
    long long GetDatagramsDropped() const; // not sent after a transient error
    long long GetRefused() const;          // sends refused: no receiver on a local port
    long long GetSendCalls() const;        // send system calls

private:
    COutPutModuleUdpState* m_pState;
};

class CSourceSrtState;
class COutPutModuleSrtState;

// Receives TS over SRT in live mode (7 packets per message) and feeds an
// input module from its reader thread. The connection is made again
// whenever it is lost: a listener accepts the next caller, a caller calls
// again (once a second while that fails). Meanwhile its input is down
// (SetFeedDown): its programs stay, empty. It runs until it
// is deleted (or, with SetTimeoutMs, until nothing has come for that long),
// and then ends its input's stream. InitBuffer is not needed.
class BRAIDMILL_API CSourceSrt : public CSourceBase
{
public:
    CSourceSrt();
    virtual ~CSourceSrt();

    // srt://[host]:port[?mode=caller|listener|rendezvous&latency=MS&
    // passphrase=TEXT&pbkeylen=N&streamid=TEXT&localport=N]. Without a mode
    // "srt://:port" listens and "srt://host:port" calls. A listener listens
    // from here on, a caller makes its first call. 0 open, -1 refused:
    // GetError says why. Before StartRead.
    int Open(const char* url);
    const char* GetError() const; // "" after a successful Open
    // The url as the log lines give it: the passphrase hidden.
    const char* GetName() const;
    // Nothing received for this long ends the stream with a log line; 0
    // (the default) waits for ever. Before StartRead.
    void SetTimeoutMs(int nMs);

    // Figures, from any thread.
    long long GetPackets() const;     // TS packets handed to the input module
    long long GetMessages() const;    // messages received, bad ones included
    long long GetBadMessages() const; // dropped: not whole TS packets
    long long GetConnections() const; // connections made so far
    bool IsConnected() const;
    long long GetLinkDrops() const;   // messages SRT gave up on: too late for the latency

protected:
    void WorkFun() override;

private:
    CSourceSrtState* m_pState;
};

// Sends the multiplex over SRT in live mode, 7 packets per message, each
// message as soon as it is full. The peer may come and go: while none is
// connected the packets are counted and discarded, and the multiplex goes
// on; a listener accepts the next caller, a caller calls again. Used by the
// engine's output thread, where it never waits; Open, SetBitRate and
// Destroy come from the client before Run or after WaitFinish.
class BRAIDMILL_API COutPutModuleSrt : public COutPutModuleBase
{
public:
    COutPutModuleSrt();
    virtual ~COutPutModuleSrt();

    // The srt:// form of CSourceSrt::Open. A caller waits up to a second
    // here for its peer, so that a peer that is there gets the stream from
    // its first packet. 0 open, -1 refused: GetError says why.
    int Open(const char* url);
    const char* GetError() const; // "" after a successful Open
    const char* GetName() const;  // as CSourceSrt::GetName
    // The output rate, bit/s: retransmissions may add a quarter to it.
    // Without it the library estimates the rate.
    void SetBitRate(long long llBitsPerSecond);

    void RenderOnePacket(unsigned char* packet) override;
    void RenderPackets(unsigned char* packets, int nCount) override;
    // Sends what is left as a short last message, waits up to a second for
    // the peer to acknowledge everything, and closes.
    void Destroy() override;
    // A message's 7 packets leave together; after a stall the output
    // catches up at most 10 % above its rate, as a UDP one does: SRT plays
    // messages out at the receiver as they were sent, bursts included.
    int GetPacketsPerUnit() const override;
    int GetCatchUpPercent() const override;

    // Figures, from any thread.
    long long GetMessagesSent() const;
    long long GetMessagesDropped() const;    // not sent: the send buffer was full
    long long GetPacketsWithoutPeer() const; // TS packets discarded while no peer was connected
    long long GetConnections() const;        // connections made so far
    bool IsConnected() const;
    long long GetLinkDrops() const; // messages SRT gave up on: too late for the latency

private:
    COutPutModuleSrtState* m_pState;
};

// What ScanSourceRate found in a TS file.
struct BraidmillRateScan
{
    enum class EResult {
        kOk,
        kCannotOpen, // nErrno says why
        kReadError,
        kEmpty,
        kNotTransportStream, // no packets among the first bytes: szNoPackets
        kNoUsablePcr         // no regular PCR step on any PID
    };
    EResult result = EResult::kCannotOpen;
    int nBitRate = -1;       // bit/s of the 188-byte packets handed on; -1 none
    bool bFromStart = false; // GetSourceRate's estimate, from the file's first bytes
    double fSeconds = 0;     // PCR time measured, seconds
    int nPcrPid = -1;        // the PID measured
    int nPacketSize = -1;    // 188, 192 or 204; -1 no packets found
    int nErrno = 0;          // errno of a failed open or read
    long long llBytesRead = 0;
    char szNoPackets[160] = {}; // what the file starts with, when it holds no packets
};

// A TS file's rate for sizing a multiplex: GetSourceRate's estimate where it
// has one (bFromStart). Otherwise, for a stream so fast that its first bytes
// cover a second of PCR time or less, or one whose first PCRs do not run
// regularly, the regular PCR steps of a longer stretch: read until a further
// stretch no longer moves the estimate, a minute of PCR time at most; on the
// first PID with PCRs or, where that has no regular step, the PID whose steps
// span longest. Opens and closes the file itself; callable from any thread.
BRAIDMILL_API void ScanSourceRate(const char* path, BraidmillRateScan& scan);

// Bytes a network name (CMuxIface::SetNetworkName) takes in the NIT, where
// 255 fit: UTF-8 text beyond ASCII goes out behind DVB's UTF-8 selector
// byte, any other text as it is. -1 for null.
BRAIDMILL_API int GetNetworkNameBytes(const char* name);
