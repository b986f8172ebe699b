#pragma once

// Small rules other parts of the stack rely on: glob matching of file names, batching, ordered de-duplication,
// trimming and natural boundaries of text, decimal rounding, absolute paths, and what the machine is.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace VuzadoDudi {

// The elements `fnmatch(pattern, element, 0)` accepts, in order: "*" and "?" also match "/".
std::vector<std::string> matching(const std::vector<std::string>& elements, const std::string& glob);

// Consecutive batches of `size` elements, the last possibly shorter. A size below 1 gives no batches.
template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& elements, std::ptrdiff_t size) {
    std::vector<std::vector<T>> batches;
    if (size < 1) {
        return batches;
    }
    const auto step = static_cast<std::size_t>(size);
    for (std::size_t start = 0; start < elements.size(); start += step) {
        const std::size_t end = std::min(start + step, elements.size());
        batches.emplace_back(elements.begin() + static_cast<std::ptrdiff_t>(start),
                             elements.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return batches;
}

// The elements without repeats, each at its first occurrence.
template <class T>
std::vector<T> orderedSet(const std::vector<T>& elements) {
    std::unordered_set<T> seen;
    std::vector<T> result;
    for (const T& element : elements) {
        if (seen.insert(element).second) {
            result.push_back(element);
        }
    }
    return result;
}

// Removes up to `upto` trailing characters canonically equivalent to `character` (one grapheme cluster).
std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto);

// The latest prefix ending at a sentence end, else a clause separator, else before the last space, whose
// trimmed form encodes to at least `minTokenCount` tokens; nothing when none qualifies.
std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode);

// round(value * 10^decimals) / 10^decimals in single precision, halves away from zero.
float rounded(float value, int decimals);

// Expands a leading "~" and makes a relative path absolute against the current directory.
std::string resolveAbsolutePath(std::string_view path);

// What the machine is, read from /proc and /sys under the names other platforms give these values.
namespace ProcessInfo {
// "machdep.cpu.brand_string", "machdep.cpu.core_count", "machdep.cpu.thread_count", "machdep.cpu.vendor",
// "machdep.cpu.family" and "hw.model"; the empty text for any other name or a value the machine does not give.
std::string stringFromSysctl(std::string_view name);

// Each read once per process.
const std::string& processor();
const std::string& cores();
const std::string& threads();
const std::string& vendor();
const std::string& family();
const std::string& hwModel();

// The value of `field` in the first processor block of a /proc/cpuinfo text ("" when absent).
std::string cpuInfoField(std::string_view cpuinfo, std::string_view field);
// Physical cores in a /proc/cpuinfo text: distinct (physical id, core id) pairs, else the processor count.
int physicalCoreCount(std::string_view cpuinfo);
} // namespace ProcessInfo

} // namespace VuzadoDudi
