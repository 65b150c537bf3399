#pragma once

// The timing object of an input that is not paced: packets go out as fast
// as the mux asks.
class CNoPacer
{
public:
    bool IsDue() const { return true; }
};
