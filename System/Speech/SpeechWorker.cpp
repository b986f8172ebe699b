#include "System/Speech/SpeechWorker.h"

#include "System/Concurrency/SerialQueue.h"

namespace System::Speech {

Concurrency::Executor& sharedSpeechWorker() {
    static auto* worker = new Concurrency::SerialQueue("com.tessarin.speech"); // lives as long as the process
    return *worker;
}

} // namespace System::Speech
