#pragma once

#include <cstdint>

inline constexpr int kTsPacketSize = 188;
inline constexpr int kM2tsPacketSize = 192; // a 4-byte arrival timestamp, then the packet
inline constexpr int kRsPacketSize = 204;   // the packet, then 16 bytes of Reed-Solomon parity
// Sync bytes at this many consecutive packet positions confirm an alignment;
// one stray 0x47 in damaged data must not be taken for it.
inline constexpr int kSyncConfirmPackets = 5;
// Leading bytes searched for the first packet of a stream, bytes.
inline constexpr int kSyncSearchBytes = 1 << 20;
// What a caller reads to find it: the search window and room to confirm
// the last offset in it, bytes.
inline constexpr int kSyncProbeBytes = kSyncSearchBytes + kSyncConfirmPackets * kRsPacketSize;
inline constexpr uint8_t kSyncByte = 0x47;
inline constexpr uint16_t kPidNull = 0x1FFF;
inline constexpr uint16_t kPidPat = 0x0000;
inline constexpr uint16_t kPidCat = 0x0001;
inline constexpr uint16_t kPidNit = 0x0010;
inline constexpr uint16_t kPidSdt = 0x0011;
inline constexpr int kPidCount = 8192;
inline constexpr uint8_t kCcMask = 0x0F;
inline constexpr int64_t kPcrHz = 27'000'000;       // PCR ticks per second
inline constexpr int64_t kPtsHz = 90'000;           // PTS/DTS ticks per second
inline constexpr int64_t kPcrPerPts = 300;          // PCR ticks per 90 kHz tick
inline constexpr int64_t kPtsModulo = int64_t(1) << 33;        // 33-bit PTS / PCR base
inline constexpr int64_t kPcrModulo = kPtsModulo * kPcrPerPts; // PCR wrap, 27 MHz ticks
inline constexpr int64_t kPcrMaxStep = kPcrHz;       // longest forward PCR step not taken as a jump, ticks
inline constexpr unsigned kPacerPollMs = 10;        // pacers' sleep between looks at the clock, ms
inline constexpr int kPsiRepeatMs = 80;             // PSI set interval, ms of output
inline constexpr double kMbit = 1024.0 * 1024.0;    // the output rate's unit, bit/s
inline constexpr int kInputFifoBytes = 10'000 * kTsPacketSize; // an input's packet FIFO
// An input's queue to the muxer: 4,096 packets (770 KB) is over a second of a
// 3 Mbit/s input and 150 ms of a 40 Mbit/s one. A live input's may grow to
// 65,536 (twice its delay through the muxer at 490 Mbit/s), memory taken as
// packets wait.
inline constexpr int kInputQueuePackets = 4096;
inline constexpr int kInputQueueMaxPackets = 65'536;
inline constexpr unsigned kOverflowRetryMs = 5;     // retry of a push into a full input FIFO, ms
// How long the pacing PCR PID may stay silent, measured on another PCR PID's
// clock, before the input is paced by that one.
inline constexpr int64_t kPcrPaceFallbackTicks = kPcrHz / 2;
inline constexpr uint8_t kDiscontinuityIndicatorBit = 0x80; // in the adaptation field's flag byte
// PMT section syntax, bytes: the header through program_info_length plus the
// CRC_32; each stream entry before its descriptors; each descriptor's tag and length.
inline constexpr int kPmtFixedBytes = 16;
inline constexpr int kPmtEsEntryBytes = 5;
inline constexpr int kDescriptorHeaderBytes = 2;
inline constexpr uint8_t kDescriptorTagCa = 0x09;          // CA_descriptor: names an ECM PID
inline constexpr uint8_t kDescriptorTagUserPrivate = 0x80; // from here on: user defined
// A CA_descriptor's body: CA_system_ID, then 3 reserved bits and CA_PID.
inline constexpr int kCaDescriptorMinBytes = 4;
inline constexpr uint8_t kTableIdCat = 0x01;
// TS over UDP and RTP.
inline constexpr int kUdpMaxPacketsPerDatagram = 7; // 1316 bytes: fits any Ethernet MTU with IP, UDP and RTP headers
inline constexpr int kRtpHeaderBytes = 12;          // fixed part, before CSRCs and extension
inline constexpr uint8_t kRtpVersion = 2;
inline constexpr uint8_t kRtpPayloadTypeMp2t = 33;
inline constexpr int64_t kRtpClockHz = 90'000; // RTP timestamp ticks per second for MP2T
// How much faster than its rate a network output makes up a stall: a
// hardware receiver holds a few tens of kilobytes, so what is owed must
// trickle out; at 10 % a 200 ms stall is made up within two seconds.
inline constexpr int kNetworkCatchUpPercent = 10;
