#pragma once

#include "ts/TsConstants.h"

// Numbering and PSI policy of the multiplex.
inline constexpr int kFirstProgramNumber = 101;
inline constexpr int kLastProgramNumber = 0xFFFF;
inline constexpr int kFirstPmtPid = 1011;     // then 1021, 1031, ...
inline constexpr int kPmtPidStep = 10;        // PIDs per program: PMT, PCR, 8 streams
inline constexpr int kLastUsablePid = 0x1FFE; // 0x1FFF is the null PID
inline constexpr int kOutTsId = 1;            // transport_stream_id of PAT and SDT
inline constexpr int kOutNetworkId = 0;       // network_id and original_network_id
inline constexpr int kTableIdPat = 0x00;
inline constexpr int kTableIdPmt = 0x02;
inline constexpr int kTableIdNit = 0x40; // actual network
inline constexpr int kTableIdSdt = 0x42; // actual transport stream
inline constexpr int kServiceDescriptorTag = 0x48;
inline constexpr int kNetworkNameDescriptorTag = 0x40;
inline constexpr int kMaxTsOrNetworkId = 0xFFFF; // transport_stream_id, network ids
inline constexpr int kMaxVersionNumber = 31;     // 5 bits
inline constexpr int kMaxDescriptorBytes = 255;  // a descriptor's body, its length in one byte
inline constexpr int kServiceTypeTv = 0x01;      // digital television service
inline constexpr int kRunningStatusRunning = 4;
inline constexpr int kMaxSectionBytes = 1024; // PAT, PMT, SDT, NIT: table_id through CRC_32
// A PMT section holds 16 bytes besides its stream loop and 5 per stream
// without descriptors; the generator writes past its buffer beyond that.
inline constexpr int kMaxPmtStreams = (kMaxSectionBytes - 16) / 5;
inline constexpr int kSdtSectionOverhead = 15; // header through CRC_32 around the service loop
inline constexpr const char* kServiceProvider = "libbraidmill";
inline constexpr int kServiceNameChars = 100; // buffer for "service %03d"
inline constexpr int kServiceDescriptorCapacity = 200;
// Scheduling policy of the output.
inline constexpr int kPcrInsertMs = 35; // a PCR PID silent this long gets a PCR-only packet
inline constexpr int kPcrMaxGapMs = 40; // ... and never silent longer
// A program's PCR_PID that carries no PCR this long gives way to one of the
// program's streams that does.
inline constexpr int kPcrSilentMs = 100;
// The decoding margin a packet's delay through the muxer must leave; also
// the delay a program whose margin is not known yet may take.
inline constexpr int kLateGuardMs = 100;
// Table repetition: PAT and PMTs every kPsiRepeatMs; SDT and NIT too while
// the tables take at most kTableSharePercent of the output, else as rarely
// as these (DVB asks for at least every 2 s and 10 s).
inline constexpr int kTableSharePercent = 5;
inline constexpr int kSdtMaxIntervalMs = 1000;
inline constexpr int kNitMaxIntervalMs = 5000;
// Intervals a user may set: DVB's 25 ms between sections up to its limits.
inline constexpr int kSiMinIntervalMs = 25;
inline constexpr int kSdtLimitMs = 2000;
inline constexpr int kNitLimitMs = 10000;
// A live input's packet leaves this long after the time its sender's clock
// maps to on ours: room for the wait for the next PCR and network jitter.
inline constexpr int64_t kLiveDelayMs = 100;
// A run of a set length looks this far before its end for PES it would cut.
inline constexpr int kPesCutLookMs = 1000;
// In real time the output waits no longer than this for an input that has
// nothing queued while its reader waits for data (an empty pipe): it goes on
// without it, which then restarts as after an outage.
inline constexpr int kStallGraceMs = 20;
inline constexpr int kBatchMs = 2;       // real time: output written per wake-up, at most
inline constexpr int kMaxBatchMs = 100;  // ... whatever a sink asks for
// A sink that catches up slowly may run this far ahead of its catch-up rate
// (at most twice the rate: half the spacing), so that a wake-up the machine
// made late is made up at once instead of adding to the lag.
inline constexpr int64_t kCatchUpLeewayMs = 10;
// A sink that catches up slowly after a stall still never falls further
// behind than this: beyond it the output would run below its rate for as
// long as the machine keeps stalling. Past it a write carries up to
// kCatchUpBurstGroups groups; past twice it, what is owed goes at once.
inline constexpr int64_t kCatchUpMaxLagMs = 1000;
inline constexpr int kCatchUpBurstGroups = 4;
// A table's cycle is a little inside its interval (19/20 of it), so that a
// table that waits behind content that fell due before it still keeps it.
inline constexpr int kTableCycleNum = 19;
inline constexpr int kTableCycleDen = 20;
// EMM PIDs of the output's CAT: below the first PMT PID, where no program's
// block can reach (the blocks start there and grow upwards), and above the
// PIDs of PSI and SI.
inline constexpr int kFirstEmmPid = 0x0020;
inline constexpr int kLastEmmPid = kFirstPmtPid - 1;
