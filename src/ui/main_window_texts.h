// Every text the main window and its lists show to the operator, in one place. They are shown
// exactly as written here, blanks included: operators and their written procedures know them so.
#pragma once

namespace flashupdate::texts {

inline constexpr char kApplicationTitle[] = "Quenlid FLASH Update Program";

inline constexpr char kStatusAtCreation[] = "Sending BootLoader";
// Two lines; the trailing blanks of the first line belong to it.
inline constexpr char kSelectionPrompt[] =
    "Please select a COM port  "
    "\r\n"
    "Please select a file to download";
inline constexpr char kPressStart[] = "Press Start to begin download";
// Followed by the directory's path.
inline constexpr char kCannotReadDirectory[] = "Cannot read directory ";

inline constexpr char kDriveErrorTitle[] = "error";
inline constexpr char kDriveError[] = "Drive Error!";

inline constexpr char kStart[] = "&Start ";
inline constexpr char kExit[] = "E&xit";
inline constexpr char kHelpMenu[] = "&Help";
inline constexpr char kAboutItem[] = "&About";

inline constexpr char kCom1[] = "Com1";
inline constexpr char kCom2[] = "Com2";
inline constexpr char kCom3[] = "Com3";
inline constexpr char kCom4[] = "Com4";

inline constexpr char kFileSize[] = "File Size:";
inline constexpr char kCheckSum4[] = "CheckSum4";
inline constexpr char kCheckSum3[] = "CheckSum3";
inline constexpr char kDeviceChecksum[] = "Device Checksum:";
inline constexpr char kFileCheckSum[] = "File CheckSum:";
inline constexpr char kBytesTransmitted[] = "Bytes Transmitted: ";
inline constexpr char kDrive[] = "Drive:";
inline constexpr char kDirectories[] = "Directories:";
inline constexpr char kFileName[] = "File Name:";

}  // namespace flashupdate::texts
