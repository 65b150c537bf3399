#pragma once

#include "CStatsFile.h"

#include <braidmill.h>

#include <string>

// The run's figures in the Prometheus text exposition format (version
// 0.0.4): a HELP and a TYPE line per metric, then its samples, one per
// input or program, labelled. The same figures as the --stats file, under
// names a scraper expects (base units, counters ending in _total). A figure
// without a value yet (a rate not known) has no sample. Pure function; any
// thread.
class CMetricsText
{
public:
    // pStats null: the engine has no figures yet; only what the program
    // knows is given.
    static std::string Format(const CStatsFile::Run& run, const _MUX_STATS* pStats);

    // A label value with backslash, double quote and newline escaped.
    static std::string EscapeLabel(const std::string& sValue);
};
