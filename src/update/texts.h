// Every text the update procedure shows, exactly as the operator has always seen it: leading and
// trailing blanks are part of the texts.
#pragma once

namespace flashupdate::texts {

inline constexpr const char* kSelectFile = "You must first select a file";
inline constexpr const char* kCantFindBootLoaders = "Can't find Boot Loaders";
inline constexpr const char* kFileTooLarge = "File too large: ";

// Messages of the five guarded regions.
inline constexpr const char* kCantFindSizeOf = "Can't find size of ";
inline constexpr const char* kCantOpenBootLoader = " Can't open bootloader";
inline constexpr const char* kErrorOpeningComPort = "Error opening Com Port";
inline constexpr const char* kCantOpen = "Can't open ";
inline constexpr const char* kProblemReceivingCheckSum = " Problem Receiving Check Sum";

// Status line.
inline constexpr const char* kSendingBootLoader = "Sending Boot Loader";
inline constexpr const char* kEraseCommandSent = "Erase Command Sent";
inline constexpr const char* kMemoryErased = "Memory Erased";
inline constexpr const char* kFlashNotUpdated = "FLASH not Updated";
inline constexpr const char* kSendingProgram = "Sending Program";
inline constexpr const char* kRequestingCheckSum = "Requesting Check Sum";
inline constexpr const char* kDone = "DONE ";
inline constexpr const char* kUpdatedSuccessfully = "FLASH updated successfully  ";
inline constexpr const char* kNotUpdatedSuccessfully = "FLASH not updated successfully ";
inline constexpr const char* kCheckSumNotReceived = "Check Sum not Received";

// Message boxes of the stages.
inline constexpr const char* kProgrammingError = " Programming Error\r\nFLASH not Updated";
inline constexpr const char* kEndOfEraseNotDetected =
    "End Of Erase Not Detected\r\nFLASH not Updated";
inline constexpr const char* kBadChecksum = "FLASH not updated successfully : BAD CHECKSUM";
inline constexpr const char* kCheckSumNotReceivedBox = " Check Sum not Received";

}  // namespace flashupdate::texts
