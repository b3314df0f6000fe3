// The real window in a process of its own, for a test that presses Exit in the middle of an
// update and watches the program end: Exit ends the process, so it cannot run inside the test.
//
//   window-exit-driver DIRECTORY DEVICE IMAGE [LOG]
//
// BOOTLOAD.IMG is taken from DIRECTORY, Com1 is DEVICE, and IMAGE,1 is the command line; runs are
// logged to LOG when it is given. Start is pressed at once; a line on standard input presses
// Exit, through the event queue, as a click would arrive while the update runs. SIGTERM, SIGINT
// and SIGHUP reach the window as in the program. A run that ends before either ends the program
// with status 3.
#include <QApplication>
#include <QMetaObject>
#include <QPushButton>
#include <iostream>
#include <string>
#include <thread>

#include "serial/qt/qt_event_loop.h"
#include "serial/qt/stop_signal_pipe.h"
#include "serial/qt/system_transports.h"
#include "ui/frm_main.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::cerr << "usage: window-exit-driver DIRECTORY DEVICE IMAGE [LOG]\n";
        return 2;
    }
    QApplication application(argc, argv);
    flashupdate::PortMap map;
    map.setDevicePath(1, argv[2]);
    flashupdate::QtEventLoop events;
    flashupdate::SerialControl port(map, events, flashupdate::systemTransports());
    flashupdate::frmMain window(events, port, map, argv[1], QString(argv[3]) + ",1");
    if (argc == 5) {
        window.setLogPath(QString::fromLocal8Bit(argv[4]));
    }
    flashupdate::StopSignalPipe stopSignals(flashupdate::StopSignalPipe::Second::Stops);
    stopSignals.onSignal = [&window](int signal) { window.stopBySignal(signal); };
    window.show();
    auto* const start = window.findChild<QPushButton*>("cmdStart");
    auto* const exit = window.findChild<QPushButton*>("cmdExit");
    std::thread operatorHand([exit] {
        std::string line;
        if (std::getline(std::cin, line)) {
            QMetaObject::invokeMethod(exit, &QPushButton::click, Qt::QueuedConnection);
        }
    });
    operatorHand.detach();
    QObject::connect(&window, &flashupdate::frmMain::runEnded, [] { QCoreApplication::exit(3); });
    QMetaObject::invokeMethod(start, &QPushButton::click, Qt::QueuedConnection);
    std::cout << "started" << std::endl;
    return QApplication::exec();
}
