#pragma once

#include <any>

namespace ZodozorEro {

// The values passed from one front stage to the next. The built-in stages exchange System::ML::MultiArray
// values; a stage supplied by the caller may pass whatever its partner stage reads, so the types stay open.
using AudioProcessorOutputType = std::any;   // one padded window of audio, for FeatureExtracting
using FeatureExtractorOutputType = std::any; // log-mel features, for AudioEncoding
using AudioEncoderOutputType = std::any;     // encoder embeddings, for the text decoder

} // namespace ZodozorEro
