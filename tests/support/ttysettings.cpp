// termios2 lives in <asm/termbits.h>, which cannot share a translation unit
// with <termios.h>; this file includes nothing that pulls the latter in.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "support/pty.h"

std::optional<TtyLineSettings> ReadTtyLineSettings(int fd) {
    struct termios2 tio {};
    if (fd < 0 || ::ioctl(fd, TCGETS2, &tio) != 0)
        return std::nullopt;
    TtyLineSettings s;
    s.outputBaud = tio.c_ospeed;
    s.inputBaud = tio.c_ispeed;
    s.customBaud = (tio.c_cflag & CBAUD) == BOTHER;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB))
        s.parity = 'n';
    else if (tio.c_cflag & CMSPAR)
        s.parity = (tio.c_cflag & PARODD) ? 'm' : 's';
    else
        s.parity = (tio.c_cflag & PARODD) ? 'o' : 'e';
    s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    s.raw = !(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN)) &&
            !(tio.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | BRKINT | PARMRK)) &&
            !(tio.c_oflag & OPOST);
    s.flowControl = (tio.c_cflag & CRTSCTS) || (tio.c_iflag & (IXON | IXOFF));
    return s;
}
