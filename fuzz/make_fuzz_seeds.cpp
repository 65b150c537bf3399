// Writes the seed corpus of every fuzz target, built from the test packet
// builder, into <dir>/<target>/. Seeds are small well-formed cases that
// reach deep into each target; the fuzzer mutates them from there.
#include "support/CPacketBuilder.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace tsb;

namespace {

constexpr int64_t kPcrStep = 13'500'000; // the longest PCR step the rate estimator accepts

void Append(Bytes& out, const Packet& pkt)
{
    out.insert(out.end(), pkt.begin(), pkt.end());
}

void Append(Bytes& out, const std::vector<Packet>& packets)
{
    for (const Packet& pkt : packets) {
        Append(out, pkt);
    }
}

Header Pid(uint16_t nPid, uint8_t nCc = 0)
{
    Header h;
    h.nPid = nPid;
    h.nCc = nCc;
    return h;
}

bool WriteSeed(const std::string& sDir, const std::string& sName, const Bytes& data)
{
    const std::string sPath = sDir + "/" + sName;
    FILE* pFile = std::fopen(sPath.c_str(), "wb");
    if (pFile == nullptr) {
        std::perror(sPath.c_str());
        return false;
    }
    const bool bOk = std::fwrite(data.data(), 1, data.size(), pFile) == data.size();
    return std::fclose(pFile) == 0 && bOk;
}

bool MakeDir(const std::string& sDir)
{
    if (mkdir(sDir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(sDir.c_str());
        return false;
    }
    return true;
}

// Values for the setters that follow the packet.
Bytes SetterTail()
{
    Bytes tail;
    for (int i = 0; i < 64; ++i) {
        tail.push_back(uint8_t(i * 37 + 11));
    }
    return tail;
}

std::vector<std::pair<std::string, Bytes>> PacketSeeds()
{
    std::vector<std::pair<std::string, Packet>> packets = {
        {"null", CPacketBuilder::Null()},
        {"payload", CPacketBuilder::Payload(Pid(0x100, 5), {0x00, 0x00, 0x01, 0xE0})},
        {"pcr-only", CPacketBuilder::Pcr(Pid(0x101), 2'576'980'377'599)},
        {"pcr-payload", CPacketBuilder::Pcr(Pid(0x101), 27'000'000, true, Bytes(20, 0x55))},
        {"af-0", CPacketBuilder::AdaptationOnly(Pid(0x102), 0)},
        {"af-1", CPacketBuilder::AdaptationOnly(Pid(0x102), 1, 0xFF)},
        {"af-182", CPacketBuilder::AdaptationOnly(Pid(0x102), 182, 0x10)},
        {"af-183", CPacketBuilder::AdaptationOnly(Pid(0x102), 183, 0x10)},
        {"pes-pts", CPacketBuilder::PesStart(Pid(0x100), 0xE0, 90'000)},
        {"pes-pts-dts", CPacketBuilder::PesStart(Pid(0x100), 0xE0, 93'600, 90'000)},
        {"pes-pcr", CPacketBuilder::PesStart(Pid(0x100), 0xC0, 90'000, 87'000, 26'100'000)},
    };
    const Bytes pat = CPacketBuilder::PatSection(1, {{0, 0x10}, {1, 0x1000}});
    packets.emplace_back("pat", CPacketBuilder::Packetize(0x0000, pat).front());
    const Bytes pmt = CPacketBuilder::PmtSection(1, 0x101, {{0x02, 0x100, {}}, {0x04, 0x101, {}}});
    packets.emplace_back("pmt", CPacketBuilder::Packetize(0x1000, pmt).front());
    const Bytes sdt = CPacketBuilder::SdtSection(1, 0, {{1, "provider", "service"}});
    packets.emplace_back("sdt", CPacketBuilder::Packetize(0x0011, sdt).front());
    // Video start codes for the probes: GOP, picture, sequence header, AVC NAL units.
    packets.emplace_back(
        "video",
        CPacketBuilder::Payload(
            {0x100, 0, true}, {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00,
                               0x01, 0xB3, 0x14, 0x00, 0xF0, 0x13, 0x00, 0x00, 0x01, 0xB8, 0x08,
                               0x78, 0x40, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x0F, 0xFF, 0x00,
                               0x00, 0x00, 0x01, 0x65, 0x88, 0x00, 0x00, 0x00, 0x01, 0x41, 0x9A}));
    std::vector<std::pair<std::string, Bytes>> seeds;
    for (const auto& [sName, pkt] : packets) {
        Bytes data(pkt.begin(), pkt.end());
        const Bytes tail = SetterTail();
        data.insert(data.end(), tail.begin(), tail.end());
        seeds.emplace_back(sName, data);
    }
    return seeds;
}

// PCR packets every nGap packets, nStep ticks apart.
Bytes PcrRun(int nPcrs, int nGap, int64_t nStep, uint16_t nPid = 0x100)
{
    Bytes out;
    for (int i = 0; i < nPcrs; ++i) {
        Append(out, CPacketBuilder::Pcr(Pid(nPid, uint8_t(i)), 1'000'000 + i * nStep));
        for (int k = 1; k < nGap; ++k) {
            Append(out, CPacketBuilder::Payload(Pid(0x200, uint8_t(k))));
        }
    }
    return out;
}

std::vector<std::pair<std::string, Bytes>> RateSeeds()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    seeds.emplace_back("steady", PcrRun(4, 3, kPcrStep));
    Bytes partial = PcrRun(4, 3, kPcrStep);
    partial.resize(partial.size() + 100, 0x47);
    seeds.emplace_back("partial-tail", partial);
    seeds.emplace_back("too-long-step", PcrRun(4, 3, kPcrStep + 1));
    seeds.emplace_back("short-span", PcrRun(3, 2, kPcrStep));
    Bytes mixed = PcrRun(4, 2, kPcrStep);
    Bytes other = PcrRun(2, 1, 5, 0x300);
    mixed.insert(mixed.begin() + 188, other.begin(), other.end()); // after the first PCR
    seeds.emplace_back("other-pid", mixed);
    Bytes unsynced = PcrRun(4, 3, kPcrStep);
    unsynced[188 * 2] = 0x00;
    seeds.emplace_back("lost-sync", unsynced);
    return seeds;
}

// One program: PAT, PMT, then PCRs, PES starts and continuation packets.
Bytes OneProgram(uint16_t nPcrPid, const std::vector<EsEntry>& es)
{
    Bytes out;
    Append(out, CPacketBuilder::Packetize(0x0000,
                                          CPacketBuilder::PatSection(1, {{0, 0x10}, {1, 0x1000}})));
    Append(out, CPacketBuilder::Packetize(0x1000, CPacketBuilder::PmtSection(1, nPcrPid, es)));
    Append(out, CPacketBuilder::Packetize(
                    0x0011, CPacketBuilder::SdtSection(1, 0, {{1, "provider", "service"}})));
    for (int i = 0; i < 4; ++i) {
        Append(out, CPacketBuilder::Pcr(Pid(nPcrPid, uint8_t(i)), 27'000'000 + i * 2'700'000));
        for (const EsEntry& e : es) {
            Append(out, CPacketBuilder::PesStart(Pid(e.nPid, uint8_t(i)), 0xE0, 93'600 + i * 9000,
                                                 90'000 + i * 9000));
            Append(out, CPacketBuilder::Payload(Pid(e.nPid, uint8_t(i + 1)), Bytes(184, 0xAB)));
        }
        Append(out, CPacketBuilder::Null());
    }
    return out;
}

Bytes TwoPrograms(bool bSharedPmt)
{
    Bytes out;
    const uint16_t nPmt2 = bSharedPmt ? 0x1000 : 0x1010;
    Append(out, CPacketBuilder::Packetize(
                    0x0000, CPacketBuilder::PatSection(7, {{0, 0x10}, {1, 0x1000}, {2, nPmt2}})));
    // Program 2 first, so the program list is not in program-number order.
    Append(out,
           CPacketBuilder::Packetize(nPmt2, CPacketBuilder::PmtSection(
                                                2, 0x201, {{0x1B, 0x201, {}}, {0x0F, 0x202, {}}})));
    Append(out, CPacketBuilder::Packetize(
                    0x1000,
                    CPacketBuilder::PmtSection(1, 0x1FF, {{0x02, 0x1E1, {}}, {0x04, 0x1E2, {}}})));
    for (int i = 0; i < 3; ++i) {
        Append(out, CPacketBuilder::Pcr(Pid(0x1FF, uint8_t(i)), 27'000'000 + i * 2'700'000));
        Append(out, CPacketBuilder::PesStart(Pid(0x1E1, uint8_t(i)), 0xE0, 90'000 + i * 9000));
        Append(out, CPacketBuilder::PesStart(Pid(0x201, uint8_t(i)), 0xE0, 90'000 + i * 9000,
                                             87'000 + i * 9000, 27'000'000 + i * 2'700'000));
        Append(out, CPacketBuilder::PesStart(Pid(0x202, uint8_t(i)), 0xC0, 90'000 + i * 9000));
        Append(out, CPacketBuilder::Payload(Pid(0x1E2, uint8_t(i)), Bytes(10, 0x00)));
    }
    return out;
}

std::vector<std::pair<std::string, Bytes>> InputSeeds()
{
    std::vector<std::pair<std::string, Bytes>> streams;
    streams.emplace_back("one-program", OneProgram(0x100, {{0x02, 0x101, {}}, {0x04, 0x102, {}}}));
    streams.emplace_back("pcr-on-stream",
                         OneProgram(0x101, {{0x02, 0x101, {}}, {0x04, 0x102, {}}}));
    streams.emplace_back("two-programs", TwoPrograms(false));
    streams.emplace_back("shared-pmt-pid", TwoPrograms(true));
    // A PMT over several packets: many streams with descriptors.
    std::vector<EsEntry> vMany;
    for (uint16_t i = 0; i < 30; ++i) {
        vMany.push_back({uint8_t(i * 7), uint16_t(0x300 + i), {{0x0A, {'e', 'n', 'g', 0x00}}}});
    }
    streams.emplace_back("long-pmt", OneProgram(0x300, vMany));
    Bytes lost = OneProgram(0x100, {{0x02, 0x101, {}}});
    lost[188 * 4] = 0xFF; // a packet that has lost sync
    streams.emplace_back("lost-sync", lost);
    Bytes networkOnly;
    Append(networkOnly,
           CPacketBuilder::Packetize(0x0000, CPacketBuilder::PatSection(1, {{0, 0x10}})));
    Append(networkOnly, CPacketBuilder::Null());
    streams.emplace_back("network-only", networkOnly);
    Bytes noPmt;
    Append(noPmt, CPacketBuilder::Packetize(0x0000, CPacketBuilder::PatSection(1, {{1, 0x1000}})));
    Append(noPmt, CPacketBuilder::PesStart(Pid(0x100), 0xE0, 90'000));
    streams.emplace_back("no-pmt", noPmt);

    // The first byte selects how the harness drives the module.
    std::vector<std::pair<std::string, Bytes>> seeds;
    for (const auto& [sName, stream] : streams) {
        // Plain, drained along, drained along with the PID map late; a
        // flood (slow: ten thousand packets) only for a few.
        std::vector<uint8_t> vModes = {0x00, 0x01, 0x07};
        if (sName == "two-programs" || sName == "lost-sync") {
            vModes.insert(vModes.end(), {0xE0, 0xE1});
        }
        for (uint8_t nMode : vModes) {
            Bytes data{nMode};
            data.insert(data.end(), stream.begin(), stream.end());
            seeds.emplace_back(sName + "-" + std::to_string(nMode), data);
        }
    }
    return seeds;
}

// Program lists for the PSI builder, encoded as its harness reads them.
struct CSeedDescriptor
{
    uint8_t nTag;
    Bytes body;
};
using CSeedDescriptors = std::vector<CSeedDescriptor>;

struct CSeedStream
{
    uint8_t nType;
    int nPid;
    CSeedDescriptors descriptors;
};

struct CSeedProgram
{
    CSeedProgram(int nPcr, int nPmt, std::vector<CSeedStream> streams, CSeedDescriptors info = {})
        : nPcrPid(nPcr), nPmtPid(nPmt), vStreams(std::move(streams)), programInfo(std::move(info))
    {
    }
    int nPcrPid;
    int nPmtPid;
    std::vector<CSeedStream> vStreams;
    CSeedDescriptors programInfo;
};

struct CSeedInput
{
    uint8_t nFlags; // 1: descriptors given; 2: one program short of them
    std::vector<CSeedProgram> programs;
};

void PutU16(Bytes& out, int nValue)
{
    out.push_back(uint8_t(nValue & 0xFF));
    out.push_back(uint8_t((nValue >> 8) & 0xFF));
}

// A PID as the harness reads it: out-of-range values as -1 or 0x2000 up.
void PutPid(Bytes& out, int nPid)
{
    PutU16(out, nPid < 0 ? 0x2001 : nPid);
}

void PutDescriptors(Bytes& out, const CSeedDescriptors& descriptors)
{
    out.push_back(uint8_t(descriptors.size()));
    for (const CSeedDescriptor& d : descriptors) {
        out.push_back(d.nTag);
        out.push_back(uint8_t(d.body.size()));
        out.insert(out.end(), d.body.begin(), d.body.end());
    }
}

Bytes ProgramLists(const std::vector<CSeedInput>& inputs)
{
    Bytes out{uint8_t(inputs.size())};
    for (const CSeedInput& input : inputs) {
        out.push_back(input.nFlags);
        PutU16(out, int(input.programs.size()));
        for (const CSeedProgram& program : input.programs) {
            PutPid(out, program.nPcrPid);
            PutPid(out, program.nPmtPid);
            PutDescriptors(out, program.programInfo);
            out.push_back(uint8_t(program.vStreams.size()));
            for (const CSeedStream& stream : program.vStreams) {
                out.push_back(stream.nType);
                PutPid(out, stream.nPid);
                PutDescriptors(out, stream.descriptors);
            }
        }
    }
    return out;
}

std::vector<std::pair<std::string, Bytes>> PsiSeeds()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    seeds.emplace_back("no-inputs", ProgramLists({}));
    seeds.emplace_back("two-inputs",
                       ProgramLists({{0, {{0x1FF, 0x1000, {{0x02, 0x1E1, {}}, {0x04, 0x1E2, {}}}}}},
                                     {0, {{0x101, 0x1000, {{0x1B, 0x100, {}}}}}}}));
    seeds.emplace_back(
        "pcr-on-stream",
        ProgramLists(
            {{0, {{0x100, 0x20, {{0x1B, 0x100, {}}, {0x0F, 0x101, {}}}}, {0x1FFF, 0x30, {}}}}}));
    seeds.emplace_back("shared-pids",
                       ProgramLists({{0,
                                      {{0x200, 0x40, {{0x02, 0x201, {}}, {0x04, 0x202, {}}}},
                                       {0x200, 0x40, {{0x02, 0x201, {}}, {0x06, 0x203, {}}}},
                                       {0x201, 0x41, {{0x02, 0x202, {}}, {0x02, 0x202, {}}}}}}}));
    seeds.emplace_back("bad-pids",
                       ProgramLists({{0, {{-1, 0x40, {{0x02, -1, {}}, {0x04, 0x2000, {}}}}}}}));
    // Descriptors: a scrambled program (CA), a language, AC-3, user-defined.
    const CSeedDescriptor ca{0x09, {0x06, 0x04, 0xE1, 0x00}};
    const CSeedDescriptor language{0x0A, {'e', 'n', 'g', 0x00}};
    const CSeedDescriptor ac3{0x6A, {0x00}};
    const CSeedDescriptor user{0xC0, Bytes(20, 0x5A)};
    seeds.emplace_back(
        "descriptors",
        ProgramLists(
            {{1,
              {{0x100,
                0x20,
                {{0x02, 0x100, {ca}}, {0x06, 0x101, {language, ac3}}, {0x06, 0x102, {user}}},
                {ca, user}}}}}));
    seeds.emplace_back("descriptors-short",
                       ProgramLists({{3,
                                      {{0x100, 0x20, {{0x02, 0x100, {language}}}, {user}},
                                       {0x200, 0x21, {{0x02, 0x200, {language}}}, {user}}}}}));
    // More descriptor bytes than a PMT section holds.
    CSeedProgram crowded{0x300, 0x50, {}, {{0x0E, Bytes(200, 0x11)}, {0x05, {'A', 'C', '-', '3'}}}};
    for (int i = 0; i < 6; ++i) {
        crowded.vStreams.push_back(
            {0x06, 0x300 + i, {language, {0xF0, Bytes(180, uint8_t(i))}, {0x59, Bytes(8, 0x22)}}});
    }
    seeds.emplace_back("crowded-pmt", ProgramLists({{1, {crowded}}}));
    CSeedProgram wide{0x300, 0x50, {}, {}};
    for (int i = 0; i < 40; ++i) {
        wide.vStreams.push_back({uint8_t(i * 13), 0x300 + i, {}});
    }
    seeds.emplace_back("forty-streams", ProgramLists({{0, {wide}}}));
    for (int i = 40; i < 220; ++i) {
        wide.vStreams.push_back({0x1B, 0x300 + i, {}});
    }
    seeds.emplace_back("too-many-streams", ProgramLists({{0, {wide}}}));
    // Two inputs of 400 programs each outrun the PID space.
    std::vector<CSeedProgram> vBare;
    for (int i = 0; i < 400; ++i) {
        vBare.emplace_back(0x100 + i, 0x20, std::vector<CSeedStream>{});
    }
    seeds.emplace_back("pid-space", ProgramLists({{0, vBare}, {0, vBare}}));
    // Enough programs for several PAT and SDT sections and for the PID
    // space to run out.
    std::vector<CSeedProgram> vMany;
    for (int i = 0; i < 400; ++i) {
        CSeedProgram program{0x100 + i, 0x20 + i, {}, {}};
        for (int k = 0; k < 1 + i % 12; ++k) {
            program.vStreams.push_back({uint8_t(0x02 + k), 0x1000 + i * 12 + k, {}});
        }
        vMany.push_back(program);
    }
    seeds.emplace_back("many-programs", ProgramLists({{0, vMany}}));
    std::vector<CSeedProgram> vSmall(vMany.begin(), vMany.begin() + 60);
    seeds.emplace_back("four-inputs",
                       ProgramLists({{0, vSmall}, {1, vSmall}, {0, vSmall}, {1, vSmall}}));
    return seeds;
}

// The harness adds the tables itself: a header (inputs, rate, batch) and
// content packets with PCRs, time stamps, jumps and discontinuities.
std::vector<std::pair<std::string, Bytes>> EngineSeeds()
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    for (const uint8_t nInputs : {0, 1, 2}) {
        for (const uint8_t nRate : {2, 20, 200}) {
            Bytes data{nInputs, 0, nRate, 7};
            for (int i = 0; i < 60; ++i) {
                Header h = Pid(uint16_t(0x100 + i % 2));
                h.nCc = uint8_t(i / 2);
                const int64_t nPcr = i == 40 ? int64_t(900) * 27'000'000 : int64_t(i) * 2'700'000;
                if (i % 2 == 0 && i % 6 == 0) {
                    Append(data, CPacketBuilder::Pcr(h, nPcr, i == 50, {0x01, 0x02}));
                } else if (i % 5 == 0) {
                    Append(data, CPacketBuilder::PesStart(h, 0xC0, 90'000 + i * 3600));
                } else {
                    Append(data, CPacketBuilder::Payload(h, {uint8_t(i)}));
                }
            }
            seeds.emplace_back("engine-" + std::to_string(nInputs) + "-" + std::to_string(nRate),
                               data);
        }
    }
    return seeds;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seed dir>\n", argv[0]);
        return 2;
    }
    const std::string sRoot = argv[1];
    const std::vector<std::pair<std::string, std::vector<std::pair<std::string, Bytes>>>> targets =
        {
            {"fuzz_ts_packet", PacketSeeds()},
            {"fuzz_rate", RateSeeds()},
            {"fuzz_input_module", InputSeeds()},
            {"fuzz_psi_build", PsiSeeds()},
            {"fuzz_engine", EngineSeeds()},
        };
    if (!MakeDir(sRoot)) {
        return 1;
    }
    for (const auto& [sTarget, seeds] : targets) {
        const std::string sDir = sRoot + "/" + sTarget;
        if (!MakeDir(sDir)) {
            return 1;
        }
        for (const auto& [sName, data] : seeds) {
            if (!WriteSeed(sDir, sName, data)) {
                return 1;
            }
        }
    }
    return 0;
}
