#pragma once

#include <string>

#include "System/Json/BoundedJson.h"
#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEroTesting {

// Encodes to text and reads the text back as a document from outside would be read.
template <class T>
T roundTrip(const T& value) {
    return T::decode(System::Json::parse(value.encode().dump()));
}

// The error of decoding `text` as T; fails the test when it decodes.
template <class T>
ZodozorEro::DecodingError decodingError(const std::string& text) {
    try {
        T::decode(System::Json::parse(text));
    } catch (const ZodozorEro::DecodingError& error) {
        return error;
    }
    throw std::runtime_error("decoded without an error: " + text);
}

} // namespace ZodozorEroTesting
