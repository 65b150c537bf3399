#pragma once

#include "mux/MuxConstants.h"

#include <string>

// What the output's tables say of the multiplex itself.
struct COutIdentity
{
    int nTsId = kOutTsId;                   // PAT and SDT transport_stream_id
    int nOriginalNetworkId = kOutNetworkId; // SDT
    int nNetworkId = kOutNetworkId;         // NIT
    std::string sNetworkName; // NIT network_name_descriptor, UTF-8 (the builder adds the
                              // selector non-ASCII text needs); empty: none
};
