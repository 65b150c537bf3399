#pragma once

#include "input/CProgramDescriptors.h"

#include <functional>
#include <vector>

// The PIDs CA descriptors name: in a PMT the ECM PIDs of a program (program
// and stream level), in a CAT the EMM PIDs of the transport stream. Plain
// functions on descriptor lists; any thread.

// The CA_PID of a CA descriptor; -1 for another tag or a body too short.
int CaPidOf(const CPmtDescriptor& descriptor);
// Rewrites the CA_PID of a CA descriptor, keeping CA_system_ID, the
// reserved bits and the private data; false (nothing changed) for a
// descriptor CaPidOf gives -1 for.
bool SetCaPid(CPmtDescriptor& descriptor, int nPid);
// The distinct CA PIDs a list names, ascending; a PID of the PSI and SI
// (below 0x0020) or the null PID is none (CA descriptors naming one are
// left out by RewriteCaPids).
std::vector<int> CaPidsOf(const CPmtDescriptorList& vList);
// The distinct ECM PIDs a program names in any of its loops, ascending.
std::vector<int> EcmPidsOf(const CProgramDescriptors& descriptors);
// True when any loop of the program carries a CA descriptor.
bool HasCaDescriptors(const CProgramDescriptors& descriptors);
// Rewrites the CA_PID of every CA descriptor of the list to OutPid(CA_PID);
// a descriptor whose PID has no output PID (OutPid gives a negative value)
// is left out, since it would name a PID the output does not carry.
// Returns how many were left out.
int RewriteCaPids(CPmtDescriptorList& vList, const std::function<int(int)>& OutPid);
