// The instrument's protocol: command bytes, line settings, record layout and every wait, with the
// reason the instrument needs it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace flashupdate::protocol {

// The boot ROM listens at 1200 baud; the loaded boot loader talks at 9600.
inline constexpr const char* kBootLoaderSettings = "1200,N,8,1";
inline constexpr const char* kCommandSettings = "9600,N,8,1";

inline constexpr char kEraseCommand = 'E';  // answered by a chunk holding 'E' once erased
inline constexpr char kEraseAnswer = 'E';
inline constexpr char kProgramCommand = 'P';   // followed by block number and one record
inline constexpr char kChecksumCommand = 'C';  // answered by the 4-byte sum, MSB first
inline constexpr char kFinishCommand = 'X';    // ends the boot loader's session

// The boot ROM expects a sync byte of 0xFF in front of the 511 bytes of the loader.
inline constexpr unsigned char kBootSync = 0xFF;
inline constexpr std::size_t kBootLoaderBytes = 511;
inline constexpr std::size_t kBootLoaderHalf = 256;  // sent as two writes of this size

inline constexpr std::size_t kRecordBytes = 16384;
inline constexpr int kFirstBlockNumber = 0x40;
inline constexpr int kBlockNumberStep = 8;
// Block numbers travel as one byte: 0x40 + 8 * 23 = 0xF8 is the last that fits.
inline constexpr int kMaxRecords = 24;
inline constexpr std::uintmax_t kMaxImageBytes = kMaxRecords * kRecordBytes;  // 393,216
// Records an image of this length makes: the last one is filled up with erased flash.
constexpr std::uintmax_t recordsFor(std::uintmax_t imageLength) {
    return (imageLength + kRecordBytes - 1) / kRecordBytes;
}
// Progress is shown, and the window kept live, after every this many data bytes.
inline constexpr std::size_t kProgressStep = 2048;
// Erased flash reads 0xFF: what a record carries past the end of the image.
inline constexpr unsigned char kErasedByte = 0xFF;

inline constexpr std::size_t kChecksumAnswerBytes = 4;

// Waits, in milliseconds.
inline constexpr int kBetweenBootHalvesMs = 1000;  // lets the first half start on the line
inline constexpr int kBootSettleMs = 2000;         // the boot loader starts up after loading
inline constexpr int kAfterReopenMs = 1000;        // the boot loader is ready at 9600 baud
inline constexpr int kAfterCommandMs = 1000;       // before a reply window opens
inline constexpr int kReplyWindowMs = 5000;        // the instrument answers within this
inline constexpr int kReplyPollMs = 100;           // erase answer polling
inline constexpr int kAfterEraseMs = 1000;         // the rest of the erase answer arrives
inline constexpr int kAfterFailureMs = 1000;       // port settles after closing on a failure
inline constexpr int kAfterProgramMs = 2000;       // the instrument writes its last record

}  // namespace flashupdate::protocol
