#pragma once

#include <cstdint>
#include <string>

namespace os {

enum class ESrtMode { kCaller, kListener, kRendezvous };

// What an srt:// name asks for, addresses resolved (IPv4, network byte
// order). The same form serves inputs and outputs: SRT carries either way
// whichever side calls.
struct SrtUrl
{
    ESrtMode mode = ESrtMode::kCaller;
    uint32_t nHost = 0;      // the peer, or a listener's local address; 0: any
    uint16_t nPort = 0;      // the peer's port, or the one listened on; host byte order
    uint16_t nLocalPort = 0; // a caller's or rendezvous' own port; 0: any (caller)
    int nLatencyMs = -1;     // ms of receive latency; -1: the library's default
    std::string sPassphrase; // empty: no encryption
    int nKeyBytes = 0;       // AES key length, 16, 24 or 32 bytes; 0: the library's choice
    std::string sStreamId;   // a caller presents it; a listener takes only callers presenting it
};

inline constexpr int kSrtMinPassphrase = 10; // characters
inline constexpr int kSrtMaxPassphrase = 79; // characters
inline constexpr int kSrtMaxStreamId = 512;  // bytes
inline constexpr int kSrtMaxLatencyMs = 60'000;

// Parses srt://[host]:port[?mode=caller|listener|rendezvous&latency=MS&
// passphrase=TEXT&pbkeylen=N&streamid=TEXT&localport=N]. Without a mode an
// empty host listens and a host is called. passphrase and streamid take
// %XX escapes (for '&', '%', '?'). False with a one-line reason naming the
// offending value; a passphrase is named by its length only.
bool ParseSrtUrl(const char* szUrl, SrtUrl& url, std::string& sError);

// The name with its passphrase's value hidden, for log lines and messages.
std::string HidePassphrase(const std::string& sUrl);

} // namespace os
