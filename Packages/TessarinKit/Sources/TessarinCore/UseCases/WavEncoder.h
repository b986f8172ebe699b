#pragma once

#include "TessarinCore/Domain/Audio.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TessarinCore {

// Encodes a clip as the WAV file that the cloud engines upload: a 44-byte RIFF/WAVE header and 16-bit
// little-endian linear PCM, mono, 16 kHz.
namespace WAVEncoder {

inline constexpr int bitsPerSample = 16;
inline constexpr std::size_t headerSize = 44;

// The WAV bytes of the clip, exactly headerSize + 2 x (sample count) of them. Samples are clamped to
// -1.0...1.0 and scaled by 32767, rounding halves away from zero, so -32768 is never written; NaN becomes
// 32767. A clip too long for the header's 32-bit size fields (over 2,147,483,629 samples, more than 37 hours)
// is a programming fault and stops the process.
std::vector<std::uint8_t> encode(const AudioClip& clip);

} // namespace WAVEncoder

} // namespace TessarinCore
