#pragma once

namespace ZodozorEro {

// One rule applied to the decoder's logits before a token is sampled. A pipeline configuration may hand in
// its own list in place of the built-in filters.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;
};

} // namespace ZodozorEro
