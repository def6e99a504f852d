// Speech for the tools, as the audio models take it: 16 kHz mono float
// samples, read from any audio file FFmpeg reads or spoken by espeak-ng.
#pragma once

#include <string>
#include <vector>

namespace le::tool {

constexpr int kSpeechRate = 16000;
constexpr int kFrameSamples = 640;  // one video frame at 25 fps

// The first audio stream of path, decoded and resampled.
std::vector<float> readSpeech(const std::string& path);

// text spoken by espeak-ng (English voice, 150 words a minute), resampled.
std::vector<float> speakText(const std::string& text);

// The speech encoder that the a2x and FCA models read: $W2V_ONNX, else the
// bundle directory's own "audio_encoder.onnx", which is then put into
// W2V_ONNX for the models that read it from there.
std::string speechEncoder(const std::string& bundleDir);

}  // namespace le::tool
