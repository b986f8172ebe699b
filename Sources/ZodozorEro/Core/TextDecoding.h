#pragma once

namespace ZodozorEro {

// The text-decoder stage: turns one window's encoder output into tokens. A pipeline configuration may hand
// in its own decoder in place of the built-in one.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;
};

} // namespace ZodozorEro
