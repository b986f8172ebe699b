#include "System/Concurrency/SerialQueue.h"

#include <pthread.h>

namespace System::Concurrency {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)) {
    thread_ = std::thread([this] {
        // Thread names are limited to 15 bytes; the tail of a reverse-DNS label is the telling part.
        const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
        pthread_setname_np(pthread_self(), name.c_str());
        loop_.run();
    });
}

SerialQueue::~SerialQueue() {
    loop_.stop();
    thread_.join();
}

} // namespace System::Concurrency
