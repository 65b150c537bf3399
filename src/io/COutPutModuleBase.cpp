#include "braidmill.h"

// The base holds nothing; derived sinks own their resources.
COutPutModuleBase::COutPutModuleBase() = default;

COutPutModuleBase::~COutPutModuleBase() = default;
