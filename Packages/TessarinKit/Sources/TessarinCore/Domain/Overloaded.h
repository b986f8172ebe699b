#pragma once

namespace TessarinCore {

// Builds one visitor for std::visit from several lambdas, one per case of a variant.
template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

} // namespace TessarinCore
