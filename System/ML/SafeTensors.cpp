#include "System/ML/SafeTensors.h"

#include "System/Json/BoundedJson.h"
#include "System/ML/Half.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <limits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace System::ML {

namespace {

using Json = nlohmann::json;

// Real headers are a few hundred bytes per tensor; a length beyond this is damage, not a header.
constexpr std::uint64_t kMaxHeaderBytes = 64u << 20;

std::size_t dtypeSize(SafeTensorsDType dtype) {
    return dtype == SafeTensorsDType::F32 ? 4 : 2;
}

std::optional<SafeTensorsDType> dtypeFromName(const std::string& name) {
    for (auto dtype : {SafeTensorsDType::F32, SafeTensorsDType::F16, SafeTensorsDType::BF16}) {
        if (dtypeName(dtype) == name) {
            return dtype;
        }
    }
    return std::nullopt;
}

std::string shapeText(const std::vector<int>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(shape[i]);
    }
    return text + "]";
}

std::uint16_t bfloat16Bits(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) {
        return std::uint16_t((bits >> 16) | 0x40); // keep a NaN a NaN
    }
    // Round to nearest, ties to even.
    return std::uint16_t((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

} // namespace

std::string_view dtypeName(SafeTensorsDType dtype) {
    switch (dtype) {
    case SafeTensorsDType::F32:
        return "F32";
    case SafeTensorsDType::F16:
        return "F16";
    case SafeTensorsDType::BF16:
        return "BF16";
    }
    return "?";
}

struct SafeTensors::Storage {
    const std::byte* bytes = nullptr;
    std::size_t size = 0;
    void* mapping = nullptr;
    std::vector<std::byte> owned;

    Storage() = default;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage() {
        if (mapping) {
            munmap(mapping, size);
        }
    }
};

SafeTensors::SafeTensors(std::shared_ptr<const Storage> storage, std::span<const std::byte> data,
                         std::map<std::string, SafeTensorInfo> tensors,
                         std::map<std::string, std::string> metadata)
    : storage_(std::move(storage))
    , data_(data)
    , tensors_(std::move(tensors))
    , metadata_(std::move(metadata)) {}

SafeTensors SafeTensors::open(const std::filesystem::path& path) {
    const std::string origin = "The weights file \"" + path.string() + "\"";
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw SafeTensorsError(origin + " cannot be opened: " + std::strerror(errno) + ".");
    }
    struct stat info {};
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        throw SafeTensorsError(origin + " is not a regular file.");
    }
    auto storage = std::make_shared<Storage>();
    storage->size = std::size_t(info.st_size);
    if (storage->size > 0) {
        void* mapping = mmap(nullptr, storage->size, PROT_READ, MAP_PRIVATE, descriptor, 0);
        if (mapping == MAP_FAILED) {
            ::close(descriptor);
            throw SafeTensorsError(origin + " cannot be mapped: " + std::strerror(errno) + ".");
        }
        storage->mapping = mapping;
        storage->bytes = static_cast<const std::byte*>(mapping);
    }
    ::close(descriptor);
    return parse(std::move(storage), origin);
}

SafeTensors SafeTensors::fromBytes(std::span<const std::byte> bytes) {
    auto storage = std::make_shared<Storage>();
    storage->owned.assign(bytes.begin(), bytes.end());
    storage->bytes = storage->owned.data();
    storage->size = storage->owned.size();
    return parse(std::move(storage), "The weights");
}

SafeTensors SafeTensors::parse(std::shared_ptr<const Storage> storage, const std::string& origin) {
    auto fail = [&](const std::string& problem) { return SafeTensorsError(origin + " " + problem + "."); };
    if (storage->size < 8) {
        throw fail("is too short to hold a header");
    }
    std::uint64_t headerLength = 0;
    for (int i = 7; i >= 0; --i) {
        headerLength = (headerLength << 8) | std::uint64_t(storage->bytes[i]);
    }
    if (headerLength > storage->size - 8 || headerLength > kMaxHeaderBytes) {
        throw fail("has a header length of " + std::to_string(headerLength) +
                   " bytes, past the end of the file");
    }
    const std::span<const std::byte> data(storage->bytes + 8 + headerLength,
                                          storage->size - 8 - headerLength);

    Json header;
    try {
        header = System::Json::parse(
            std::string_view(reinterpret_cast<const char*>(storage->bytes + 8), std::size_t(headerLength)));
    } catch (const System::Json::JsonError& error) {
        throw fail("has a header that is not JSON: " + error.description());
    }
    if (!header.is_object()) {
        throw fail("has a header that is not a JSON object");
    }

    std::map<std::string, SafeTensorInfo> tensors;
    std::map<std::string, std::string> metadata;
    for (const auto& [name, entry] : header.items()) {
        if (name == "__metadata__") {
            if (!entry.is_object()) {
                throw fail("has metadata that is not an object");
            }
            for (const auto& [key, value] : entry.items()) {
                if (!value.is_string()) {
                    throw fail("has the metadata \"" + key + "\" that is not text");
                }
                metadata[key] = value.get<std::string>();
            }
            continue;
        }
        const std::string tensor = "the tensor \"" + name + "\"";
        if (!entry.is_object() || !entry.contains("dtype") || !entry.contains("shape") ||
            !entry.contains("data_offsets")) {
            throw fail("describes " + tensor + " without dtype, shape and data_offsets");
        }
        SafeTensorInfo info;
        const auto dtype =
            entry["dtype"].is_string() ? dtypeFromName(entry["dtype"].get<std::string>()) : std::nullopt;
        if (!dtype) {
            throw fail("gives " + tensor + " the dtype " + entry["dtype"].dump() +
                       ", which this runtime does not read (F32, F16 and BF16 only)");
        }
        info.dtype = *dtype;
        if (!entry["shape"].is_array()) {
            throw fail("gives " + tensor + " a shape that is not a list");
        }
        std::size_t bytes = dtypeSize(info.dtype);
        for (const Json& dimension : entry["shape"]) {
            if (!dimension.is_number_unsigned() ||
                dimension.get<std::uint64_t>() > std::uint64_t(INT32_MAX)) {
                throw fail("gives " + tensor + " a dimension that is not a count");
            }
            info.shape.push_back(dimension.get<int>());
            if (__builtin_mul_overflow(bytes, std::size_t(info.shape.back()), &bytes)) {
                throw fail("gives " + tensor + " a shape too large for any file");
            }
        }
        const Json& offsets = entry["data_offsets"];
        if (!offsets.is_array() || offsets.size() != 2 || !offsets[0].is_number_unsigned() ||
            !offsets[1].is_number_unsigned()) {
            throw fail("gives " + tensor + " data_offsets that are not two counts");
        }
        const auto begin = offsets[0].get<std::uint64_t>();
        const auto end = offsets[1].get<std::uint64_t>();
        if (begin > end || end > data.size()) {
            throw fail("places " + tensor + " at bytes " + std::to_string(begin) + " to " +
                       std::to_string(end) + ", outside the " + std::to_string(data.size()) +
                       " bytes of data");
        }
        if (end - begin != bytes) {
            throw fail("gives " + tensor + " " + std::to_string(end - begin) + " bytes, but its shape " +
                       shapeText(info.shape) + " of " + std::string(dtypeName(info.dtype)) + " needs " +
                       std::to_string(bytes));
        }
        info.begin = std::size_t(begin);
        info.end = std::size_t(end);
        tensors.emplace(name, std::move(info));
    }
    return SafeTensors(std::move(storage), data, std::move(tensors), std::move(metadata));
}

std::vector<float> SafeTensors::floats(const std::string& name) const {
    auto found = tensors_.find(name);
    if (found == tensors_.end()) {
        throw SafeTensorsError("The weights hold no tensor \"" + name + "\".");
    }
    const SafeTensorInfo& info = found->second;
    const std::byte* bytes = data_.data() + info.begin;
    const std::size_t count = (info.end - info.begin) / dtypeSize(info.dtype);
    std::vector<float> values(count);
    if (info.dtype == SafeTensorsDType::F32) {
        if (count) {
            std::memcpy(values.data(), bytes, count * 4);
        }
        return values;
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t bits;
        std::memcpy(&bits, bytes + 2 * i, 2);
        values[i] = info.dtype == SafeTensorsDType::F16 ? float(Half::fromBitPattern(bits))
                                                        : std::bit_cast<float>(std::uint32_t(bits) << 16);
    }
    return values;
}

std::vector<float> SafeTensors::floats(const std::string& name, const std::vector<int>& shape) const {
    auto found = tensors_.find(name);
    if (found != tensors_.end() && found->second.shape != shape) {
        throw SafeTensorsError("The weights give the tensor \"" + name + "\" the shape " +
                               shapeText(found->second.shape) + ", not " + shapeText(shape) + ".");
    }
    return floats(name);
}

std::vector<Half> SafeTensors::halves(const std::string& name, const std::vector<int>& shape) const {
    auto found = tensors_.find(name);
    if (found == tensors_.end()) {
        throw SafeTensorsError("The weights hold no tensor \"" + name + "\".");
    }
    const SafeTensorInfo& info = found->second;
    if (info.shape != shape) {
        throw SafeTensorsError("The weights give the tensor \"" + name + "\" the shape " +
                               shapeText(info.shape) + ", not " + shapeText(shape) + ".");
    }
    if (info.dtype != SafeTensorsDType::F16) {
        throw SafeTensorsError("The weights hold the tensor \"" + name + "\" as " +
                               std::string(dtypeName(info.dtype)) + ", not F16.");
    }
    std::vector<Half> values((info.end - info.begin) / 2);
    if (!values.empty()) {
        std::memcpy(values.data(), data_.data() + info.begin, values.size() * 2);
    }
    return values;
}

void SafeTensorsWriter::add(const std::string& name, const std::vector<int>& shape,
                            std::span<const float> values, SafeTensorsDType dtype) {
    std::size_t count = 1;
    for (int dimension : shape) {
        count *= std::size_t(std::max(dimension, 0));
    }
    if (count != values.size()) {
        throw SafeTensorsError("The tensor \"" + name + "\" of shape " + shapeText(shape) + " needs " +
                               std::to_string(count) + " values, not " + std::to_string(values.size()) + ".");
    }
    if (name == "__metadata__" || entries_.contains(name)) {
        throw SafeTensorsError("The tensor name \"" + name + "\" is taken.");
    }
    Entry entry{dtype, shape, std::vector<std::byte>(count * dtypeSize(dtype))};
    for (std::size_t i = 0; i < count; ++i) {
        if (dtype == SafeTensorsDType::F32) {
            std::memcpy(entry.bytes.data() + 4 * i, &values[i], 4);
            continue;
        }
        const std::uint16_t bits =
            dtype == SafeTensorsDType::F16 ? Half(values[i]).bitPattern() : bfloat16Bits(values[i]);
        std::memcpy(entry.bytes.data() + 2 * i, &bits, 2);
    }
    entries_.emplace(name, std::move(entry));
}

std::vector<std::byte> SafeTensorsWriter::serialized() const {
    Json header = Json::object();
    if (!metadata_.empty()) {
        header["__metadata__"] = metadata_;
    }
    std::size_t offset = 0;
    std::vector<std::size_t> starts;
    for (const auto& [name, entry] : entries_) {
        offset = (offset + 7) / 8 * 8;
        starts.push_back(offset);
        header[name] = {{"dtype", std::string(dtypeName(entry.dtype))},
                        {"shape", entry.shape},
                        {"data_offsets", {offset, offset + entry.bytes.size()}}};
        offset += entry.bytes.size();
    }
    std::string text = header.dump();
    text.append((8 - text.size() % 8) % 8, ' '); // the data starts 8-aligned
    std::vector<std::byte> file(8 + text.size() + offset);
    std::uint64_t length = text.size();
    for (int i = 0; i < 8; ++i) {
        file[std::size_t(i)] = std::byte((length >> (8 * i)) & 0xFF);
    }
    std::memcpy(file.data() + 8, text.data(), text.size());
    std::size_t index = 0;
    for (const auto& [name, entry] : entries_) {
        if (!entry.bytes.empty()) {
            std::memcpy(file.data() + 8 + text.size() + starts[index], entry.bytes.data(),
                        entry.bytes.size());
        }
        ++index;
    }
    return file;
}

void SafeTensorsWriter::write(const std::filesystem::path& path) const {
    const auto bytes = serialized();
    const auto temporary = path.string() + ".partial-" + std::to_string(getpid());
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!file.flush()) {
            std::filesystem::remove(temporary);
            throw SafeTensorsError("The weights file \"" + path.string() + "\" cannot be written.");
        }
    }
    std::filesystem::rename(temporary, path);
}

} // namespace System::ML
