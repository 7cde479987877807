#include "cli/Usage.h"

#include <cstdio>

#include "cli/Parameters.h"

namespace {

const char kShortUsage[] =
    "\n"
    "Application Usage:\n"
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Halvorine Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

const char kParametersUsage[] =
    "  Parameters to commands:\n"
    "     -i <kestrova_directory>  - The Kestrova directory used for storage of \n"
    "                                firmware files. [Default: ~/.kestrova ].\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -L                       - list the local Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Kestrova server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n";

const char kExtendedUsageHead[] =
    "  Extended Parameters:\n"
    "     -e                       - echoing of bytes enabled during recovery.\n"
    "\n"
    "     -m                       - Attemps to use UEIBytes for faster loading\n"
    "     -l 'log message'         - message to place in device history log\n"
    "     -k <filename>            - log messages written into given filename\n"
    "                                Default:[APP.log]\n"
    "     -u <host:port>           - The hostname and port of the update server\n"
    "                                Default: ";

const char kExtendedUsageTail[] =
    "  Extended Commands:\n"
    "     -I                       - View stored device information.\n"
    "                                Must either use DISCOVER command [\"-D\"] or\n"
    "                                specify a specific device [\"-d\" option].\n"
    "\n"
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
    "                                This option should only be used when authorized by\n"
    "                                Kestrova development engineers.\n"
    "\n"
    "     -N                       - Get fingerprint from a device, requires -s\n"
    "\n"
    "     -X <BIT_MASK>            - Bitmask for Logging\n"
    "                                DEBUG_Updater       0x00000001\n"
    "                                DEBUG_History       0x00000002\n"
    "                                DEBUG_Attributes    0x00000004\n"
    "                                DEBUG_BirdFile      0x00000008\n"
    "                                DEBUG_Network       0x00000010\n"
    "                                DEBUG_ServerComm    0x00000020\n"
    "\n"
    "                                DEBUG_Network       0x00000100\n"
    "                                DEBUG_Network_SR    0x00000200\n"
    "                                DEBUG_Network_FIRM  0x00000400\n"
    "\n"
    "                                DEBUG_NXPSerial     0x00001000\n"
    "                                DEBUG_NXPSerial_E   0x00002000\n"
    "                                DEBUG_NXPSerial_SR  0x00004000\n"
    "\n"
    "                                DEBUG_APP           0x00010000\n"
    "\n"
    "                                DEBUG_iMXSerial     0x10000000\n"
    "\n"
    "     -C                       - Check the given BIRDFILE\n"
    "\n";

const char kSampleUsage[] =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that "
    "device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number "
    "0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device "
    "directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the "
    "device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build's firmware for the given device.\n"
    "                               Downloads the firmware file into the updater's specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial "
    "interface\n"
    "                               in communicating with the device to install the latest "
    "firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Halvorine network\n"
    "                               of the given routing device D272031D.\n"
    "\n"
    "-G -U -d 2181F0EE -r D272031D\n"
    "                               Get and Update to the latest firmware for device 2181F0EE\n"
    "                               indirectly through routing device D272031D.\n"
    "\n";

}  // namespace

void _display_usage(bool extended, bool full) {
    fprintf(stderr, kShortUsage, "Updater");
    if (!full) return;
    fputs(kParametersUsage, stderr);
    if (extended) {
        fputs(kExtendedUsageHead, stderr);
        fprintf(stderr, "%s:%s\n", DEFAULT_UPDATE_HOST, DEFAULT_UPDATE_PORT);
        fputs(kExtendedUsageTail, stderr);
    }
    fputs(kSampleUsage, stderr);
}
