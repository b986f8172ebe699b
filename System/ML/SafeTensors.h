#pragma once

#include "System/Log/ErrorDescription.h"
#include "System/ML/Half.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace System::ML {

// A weights file that is malformed or lacks what its reader asks for.
class SafeTensorsError : public Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

enum class SafeTensorsDType { F32, F16, BF16 };

struct SafeTensorInfo {
    SafeTensorsDType dtype = SafeTensorsDType::F32;
    std::vector<int> shape;
    // Byte range within the data that follows the header.
    std::size_t begin = 0;
    std::size_t end = 0;
};

// A safetensors file: a little-endian 64-bit header length, a JSON header naming each tensor's dtype, shape
// and byte range, then the raw little-endian data. The file is mapped, not read; every range, dtype and shape
// in the header is checked against the file when it is opened, so reading a tensor afterwards cannot go
// astray.
class SafeTensors {
public:
    // SafeTensorsError when the file cannot be opened or mapped, or its header is malformed or points outside
    // it.
    static SafeTensors open(const std::filesystem::path& path);
    // The same checks over bytes in memory, which the result copies.
    static SafeTensors fromBytes(std::span<const std::byte> bytes);

    const std::map<std::string, SafeTensorInfo>& tensors() const { return tensors_; }
    const std::map<std::string, std::string>& metadata() const { return metadata_; }

    // A tensor's elements as float32. SafeTensorsError when there is no tensor of that name or, when a shape
    // is given, when the tensor has another one.
    std::vector<float> floats(const std::string& name) const;
    std::vector<float> floats(const std::string& name, const std::vector<int>& shape) const;
    // An F16 tensor's elements as stored; SafeTensorsError as for floats, and for a tensor of another dtype.
    std::vector<Half> halves(const std::string& name, const std::vector<int>& shape) const;

private:
    struct Storage;
    SafeTensors(std::shared_ptr<const Storage> storage, std::span<const std::byte> data,
                std::map<std::string, SafeTensorInfo> tensors, std::map<std::string, std::string> metadata);
    static SafeTensors parse(std::shared_ptr<const Storage> storage, const std::string& origin);

    std::shared_ptr<const Storage> storage_;
    std::span<const std::byte> data_;
    std::map<std::string, SafeTensorInfo> tensors_;
    std::map<std::string, std::string> metadata_;
};

// Builds a safetensors file. Tensors are written in name order, each at an offset aligned to 8 bytes.
class SafeTensorsWriter {
public:
    // SafeTensorsError when the number of values does not match the shape or the name is taken.
    void add(const std::string& name, const std::vector<int>& shape, std::span<const float> values,
             SafeTensorsDType dtype = SafeTensorsDType::F32);
    void setMetadata(const std::string& key, const std::string& value) { metadata_[key] = value; }

    std::vector<std::byte> serialized() const;
    // Writes the file through a temporary beside it, so a reader never sees half of it.
    void write(const std::filesystem::path& path) const;

private:
    struct Entry {
        SafeTensorsDType dtype;
        std::vector<int> shape;
        std::vector<std::byte> bytes;
    };
    std::map<std::string, Entry> entries_;
    std::map<std::string, std::string> metadata_;
};

std::string_view dtypeName(SafeTensorsDType dtype);

} // namespace System::ML
