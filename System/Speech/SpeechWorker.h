#pragma once

#include "System/Concurrency/Executor.h"

namespace System::Speech {

// The thread on which model loading, asset installation and recognition run unless a caller names another
// executor: one serial queue for the whole process, never destroyed, so work still under way when its
// analyzer goes away always has somewhere to finish.
Concurrency::Executor& sharedSpeechWorker();

} // namespace System::Speech
