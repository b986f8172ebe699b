#pragma once

#include "System/Concurrency/Duration.h"

#include <functional>
#include <memory>

namespace Parlindo {

// Asks a yes-or-no question of a system service without letting a stopped or hung service hold up the
// caller: the question goes to a thread of its own, and callers wait for its answer at most `patience` after
// it was asked. While it is unanswered no second one is asked, and later callers wait only for what is left
// of that time; an answer that has not come reads as no. Copies share the question.
class BoundedProbe {
public:
    BoundedProbe(std::function<bool()> ask, System::Concurrency::Duration patience);

    bool operator()() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Whether the sound server (PulseAudio, or PipeWire's PulseAudio service) answers with a default source to
// record from. Blocks until the server answers or the connection fails: ask it through a BoundedProbe.
bool soundServerAnswers();

} // namespace Parlindo
