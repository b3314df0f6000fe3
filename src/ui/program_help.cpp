#include "ui/program_help.h"

namespace flashupdate {

std::string windowHelpText() {
    return "Usage: flashupdate [IMAGE,PORT]\n"
           "\n"
           "Rewrites the FLASH program memory of a Quenlid instrument over a serial line: the\n"
           "window loads the boot loader, erases the memory, sends the program image and\n"
           "compares the instrument's checksum with its own.\n"
           "\n"
           "IMAGE,PORT chooses the image file and the port (1 to 4 for Com1 to Com4) before\n"
           "the window opens, leaving only Start to press. Without it the operator chooses\n"
           "both in the window.\n"
           "\n"
           "Options:\n"
           "  --help             show this text\n"
           "  --version          show the version\n"
           "\n"
           "Com1 to Com4 are /dev/ttyS0 to /dev/ttyS3 unless the settings file\n"
           "~/.config/Quenlid/flashupdate.conf names other devices, with keys Com1 to Com4\n"
           "under [General], such as\n"
           "Com1=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XK3LQD-if00-port0. The\n"
           "environment variables FLASHUPDATE_COM1 to FLASHUPDATE_COM4 override it. Resting\n"
           "the pointer on a port's button shows its device and whether it is present.\n"
           "Opening a serial port needs membership of the dialout group.\n"
           "\n"
           "The boot loader, BOOTLOAD.IMG from the instrument's maker, is looked for next\n"
           "to the program, then in ~/.local/share/flashupdate ($XDG_DATA_HOME), then in\n"
           "/usr/local/share/flashupdate and /usr/share/flashupdate ($XDG_DATA_DIRS). Every\n"
           "update with its outcome, and why a port could not be opened with what to do\n"
           "about it, is appended to ~/.local/state/flashupdate/flashupdate.log (under\n"
           "$XDG_STATE_HOME when that is set).\n";
}

}  // namespace flashupdate
