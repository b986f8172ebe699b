#pragma once

#include <filesystem>
#include <vector>

namespace System::Audio {

enum class AudioFileEncoding {
    wavInt16,   // WAV, 16-bit integer
    wavFloat32, // WAV, 32-bit float
    flacInt16,  // FLAC, 16-bit
    flacInt24,  // FLAC, 24-bit
};

// Writes `planes` (one list of samples per channel, all of one length) as an audio file at `sampleRate`,
// replacing what is at `path`. Samples outside [-1, 1] are clipped in integer encodings. Throws
// AudioFileError (unreadable, with the library's reason) when the file can't be written.
void writeAudioFile(const std::filesystem::path& path, AudioFileEncoding encoding, int sampleRate,
                    const std::vector<std::vector<float>>& planes);

} // namespace System::Audio
