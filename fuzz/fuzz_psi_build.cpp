// Program renumbering and PSI generation over arbitrary program lists: every
// input's programs go through CPsiBuilder::AddInput, then the PSI set is
// generated, cut back into sections and parsed with the project's own
// section reader.
//
// Input, read front to back (missing bytes read as 0):
//   u8 input count (mod 5); per input: u8 flags (bit 0: the PMT descriptors
//   are given; bit 1: one program fewer of them than programs), u16 program
//   count (mod 401); per program: PID PCR_PID, PID PMT PID, descriptors of
//   program_info, u8 stream count; per stream: u8 stream_type, PID,
//   descriptors. A PID is a u16: bits 0-12 the PID; with bit 13 set the
//   value is out of range instead (-1 when bit 0 is set, else the u16 as is).
//   Descriptors: u8 count (mod 16); per descriptor u8 tag, u8 length, the body.
//
// Checks: every packet of the set is a well-formed PSI packet, every
// section parses back whole with a correct CRC_32 and consistent lengths,
// and the tables say what the numbering says: PAT lists every program in
// order, each PMT the streams, PCR PID and descriptors of its input program
// (no CA descriptors; only descriptors left out, in order, when all would not
// fit), the SDT one service per program, the NIT nothing. The PID maps stay
// injective, within the usable PIDs and apart between inputs; no program's
// PIDs run into another's.
#include "PsiBuildChecks.h"

namespace {

struct CFuzzInput
{
    std::vector<_PROGRAM_INFO> programs;
    std::vector<CProgramDescriptors> descriptors; // parallel, maybe shorter
    bool bGiveDescriptors = false;
};

std::vector<CFuzzInput> ReadInputs(CByteReader& in)
{
    std::vector<CFuzzInput> vInputs(static_cast<size_t>(in.U8() % (kMaxInputs + 1)));
    for (CFuzzInput& input : vInputs) {
        const uint8_t nFlags = in.U8();
        input.bGiveDescriptors = (nFlags & 0x01) != 0;
        const int nPrograms = in.U16() % (kMaxPrograms + 1);
        for (int k = 0; k < nPrograms; ++k) {
            _PROGRAM_INFO program;
            CProgramDescriptors descriptors;
            program.nPcrPid = in.Pid();
            program.nPmtPid = in.Pid();
            descriptors.vProgramInfo = in.Descriptors();
            const int nStreams = in.U8();
            for (int n = 0; n < nStreams; ++n) {
                const int nType = in.U8();
                program.vecEsInfo.push_back(_ES_INFO{in.Pid(), nType});
                descriptors.vEs.push_back(in.Descriptors());
            }
            input.programs.push_back(std::move(program));
            input.descriptors.push_back(std::move(descriptors));
        }
        if ((nFlags & 0x02) && !input.descriptors.empty()) {
            input.descriptors.pop_back();
        }
    }
    return vInputs;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The builder's lines tell which programs it left out; nothing is printed.
    LogOutput = CatchLogLine;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    CByteReader in(pData, nSize);
    const std::vector<CFuzzInput> vInputs = ReadInputs(in);
    g_omitted.clear();

    CPsiBuilder builder;
    std::set<int> usedOut; // output PIDs of the inputs so far
    std::vector<CExpectedPmt> vExpected;
    size_t nTotalPrograms = 0;
    for (size_t nInput = 0; nInput < vInputs.size(); ++nInput) {
        const CFuzzInput& input = vInputs[nInput];
        const std::vector<_PROGRAM_INFO>& programs = input.programs;
        std::unique_ptr<int[]> pMap(new int[kPidCount]);
        std::fill(pMap.get(), pMap.get() + kPidCount, -1);
        const size_t nBefore = builder.GetPrograms().size();
        builder.AddInput(int(nInput), programs, pMap.get(),
                         input.bGiveDescriptors ? &input.descriptors : nullptr);
        nTotalPrograms += programs.size();

        // Entries only for the PIDs of the input's programs.
        std::set<int> programPids;
        for (const _PROGRAM_INFO& program : programs) {
            if (IsPid(program.nPcrPid)) {
                programPids.insert(program.nPcrPid);
            }
            for (const _ES_INFO& es : program.vecEsInfo) {
                if (IsPid(es.nPid)) {
                    programPids.insert(es.nPid);
                }
            }
        }
        std::set<int> mapOut;
        for (int nPid = 0; nPid < kPidCount; ++nPid) {
            const int nOut = pMap[nPid];
            if (nOut == -1) {
                continue;
            }
            FUZZ_CHECK(programPids.count(nPid) != 0);
            FUZZ_CHECK(nOut > kFirstPmtPid && nOut <= kLastUsablePid);
            FUZZ_CHECK(mapOut.insert(nOut).second); // one input PID per output PID
            FUZZ_CHECK(usedOut.count(nOut) == 0);   // apart from other inputs
        }
        usedOut.insert(mapOut.begin(), mapOut.end());

        // The kept programs, in order, are the input's programs less the
        // ones left out.
        const std::vector<COutProgram>& out = builder.GetPrograms();
        size_t nOut = nBefore;
        for (size_t k = 0; k < programs.size(); ++k) {
            if (g_omitted.count({int(nInput), k + 1}) != 0) {
                continue;
            }
            FUZZ_CHECK(nOut < out.size());
            const CProgramDescriptors* pIn = input.bGiveDescriptors && k < input.descriptors.size()
                                                 ? &input.descriptors[k]
                                                 : nullptr;
            vExpected.push_back(CheckOutProgram(out[nOut], programs[k], pIn, pMap.get()));
            ++nOut;
        }
        FUZZ_CHECK(nOut == out.size());
    }
    const std::vector<COutProgram>& programs = builder.GetPrograms();
    FUZZ_CHECK(size_t(builder.GetOmittedCount()) == g_omitted.size());
    // The list names the same programs as the lines, in the same order.
    FUZZ_CHECK(builder.GetOmitted().size() == g_omitted.size());
    auto itLine = g_omitted.begin();
    for (const CPsiBuilder::COmitted& omitted : builder.GetOmitted()) {
        const CFuzzInput& input = vInputs[size_t(itLine->first)];
        const size_t nIndex = itLine->second - 1;
        FUZZ_CHECK(omitted.nInput == itLine->first);
        FUZZ_CHECK(omitted.nPmtPid == input.programs[nIndex].nPmtPid);
        FUZZ_CHECK(omitted.nProgramNumber == -1); // the fuzz descriptors leave it unknown
        ++itLine;
    }
    FUZZ_CHECK(programs.size() + g_omitted.size() == nTotalPrograms);
    CheckNumbers(programs);

    std::vector<unsigned char> vPsi;
    FUZZ_CHECK(builder.BuildPackets(vPsi));
    CheckPsiSet(vPsi, programs, vExpected);
    return 0;
}
