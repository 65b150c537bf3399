#include "input/CProgramSelection.h"

#include <algorithm>

bool CProgramSelection::Keeps(int nProgramNumber) const
{
    return m_vChosen.empty() ||
           std::find(m_vChosen.begin(), m_vChosen.end(), nProgramNumber) != m_vChosen.end();
}

void CProgramSelection::Apply(CInputTables& tables) const
{
    tables.vAbsent.clear();
    if (m_vChosen.empty()) {
        return;
    }
    for (int nNumber : m_vChosen) {
        const bool bParsed =
            std::any_of(tables.vDescriptors.begin(), tables.vDescriptors.end(),
                        [&](const CProgramDescriptors& d) { return d.nProgramNumber == nNumber; });
        const bool bMissing = std::any_of(
            tables.vMissing.begin(), tables.vMissing.end(),
            [&](const CInputTables::CMissing& m) { return m.nProgramNumber == nNumber; });
        if (!bParsed && !bMissing) {
            tables.vAbsent.push_back(nNumber);
        }
    }
    size_t nKept = 0;
    for (size_t n = 0; n < tables.vPrograms.size() && n < tables.vDescriptors.size(); ++n) {
        if (Keeps(tables.vDescriptors[n].nProgramNumber)) {
            tables.vPrograms[nKept] = std::move(tables.vPrograms[n]);
            tables.vDescriptors[nKept] = std::move(tables.vDescriptors[n]);
            ++nKept;
        }
    }
    tables.vPrograms.resize(nKept);
    tables.vDescriptors.resize(nKept);
    tables.vMissing.erase(
        std::remove_if(tables.vMissing.begin(), tables.vMissing.end(),
                       [&](const CInputTables::CMissing& m) { return !Keeps(m.nProgramNumber); }),
        tables.vMissing.end());
}
