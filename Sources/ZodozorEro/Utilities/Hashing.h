#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace ZodozorEro {

// Folds the hash of each value into `seed`, in order, so records can hash all their fields. Floats hash
// through std::hash, which gives +0 and -0 one hash as equality wants.
class Hasher {
public:
    template <class T>
    Hasher& combine(const T& value) {
        seed_ ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed_ << 6) + (seed_ >> 2);
        return *this;
    }
    template <class T>
    Hasher& combine(const std::vector<T>& values) {
        combine(values.size());
        for (const T& value : values) {
            combine(value);
        }
        return *this;
    }
    template <class K, class V>
    Hasher& combine(const std::map<K, V>& values) {
        combine(values.size());
        for (const auto& [key, value] : values) {
            combine(key).combine(value);
        }
        return *this;
    }
    template <class T>
    Hasher& combine(const std::optional<T>& value) {
        combine(value.has_value());
        if (value) {
            combine(*value);
        }
        return *this;
    }

    std::size_t finalize() const { return seed_; }

private:
    std::size_t seed_ = 0;
};

} // namespace ZodozorEro
