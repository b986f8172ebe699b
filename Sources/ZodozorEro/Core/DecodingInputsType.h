#pragma once

#include <vector>

#include "System/ML/MultiArray.h"

namespace ZodozorEro {

// What the text decoder needs of its per-run input state: the prompt a window starts from, the token fed at
// each step and the cache length, and the reset of the masks at the start of each window. The accessors hand
// out the stored values themselves: a MultiArray shares its buffer with every copy, so writes through them,
// or replacing them, change the state.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;

    virtual std::vector<int>& initialPrompt() = 0;
    virtual System::ML::MultiArray& inputIds() = 0;
    virtual System::ML::MultiArray& cacheLength() = 0;

    // Prepares the masks for a new window of `maxTokenContext` positions.
    virtual void reset(int maxTokenContext) = 0;
};

} // namespace ZodozorEro
