// Another project's program on the installed library: identifies the flash
// chip of the module at ADDRESS (ip:port) and prints its description.
#include <vrntools/vrn.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    int handle = vrn_open(argv[1], 0);
    if (handle == -1) return 1;
    vrnFlashInfo info;
    int status = vrn_recover_identify(handle, &info);
    vrn_print_flash_info(&info);
    vrn_close(handle);
    return status == 0 ? 0 : 1;
}
