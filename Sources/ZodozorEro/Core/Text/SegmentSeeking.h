#pragma once

namespace ZodozorEro {

// Cuts a window's tokens into timed segments and finds where the next window starts. A pipeline
// configuration may hand in its own seeker in place of the built-in one.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;
};

} // namespace ZodozorEro
