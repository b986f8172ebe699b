#pragma once

#include "System/Concurrency/Task.h"

#include <string>

namespace TessarinUpdates {

// Fetches the update feed's document.
class FeedLoading {
public:
    virtual ~FeedLoading() = default;

    // The document at `address`; throws with a sentence for the user when it cannot be fetched.
    virtual System::Concurrency::Task<std::string> load(std::string address) = 0;
};

} // namespace TessarinUpdates
