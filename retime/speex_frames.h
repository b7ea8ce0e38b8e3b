// How many 20 ms frames a Speex payload holds, found the way libspeex's
// wideband decoder walks the bits, without decoding the sound.
#pragma once

#include <cstddef>
#include <cstdint>

// Frames in one payload, counted as a decoder counts the frames it gives
// when it is handed the payload and asked for frames until the bits left
// are fewer than 5 or start with a terminator (0 then mode 15). Each frame
// is its narrowband part (in-band requests and wideband layers ahead of
// it skipped as the decoder skips them) followed by its wideband layer when
// its first bit is set; a frame that runs past the payload's end counts
// (the decoder reads zeros there). A frame the decoder cannot read (an
// invalid mode) counts too, as the silence the converter writes for it,
// and ends the payload: where the next frame would start is unknown.
int64_t countSpeexFrames(const uint8_t* payload, size_t size);
