#pragma once

#include "FakeOperation.h"
#include "TessarinCore/Ports/TextInserting.h"

#include <vector>

namespace TessarinCore::Fakes {

// Records every request and answers `inserted` unless the test scripts another outcome.
class FakeTextInserter final : public TextInserting {
public:
    std::vector<InsertionRequest> requests;
    FakeOperation<InsertionOutcome> inserting;

    System::Concurrency::Task<InsertionOutcome> insert(InsertionRequest request) override {
        requests.push_back(std::move(request));
        return inserting.call([] { return InsertionOutcome::inserted(); });
    }
};

} // namespace TessarinCore::Fakes
