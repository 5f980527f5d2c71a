// pack-directory: packs a local directory into a new ISO 9660 image, made
// bootable (El Torito, no emulation) when a boot image file is given.
//
//   pack-directory SRC_DIR OUT.iso [BOOT_IMAGE]
//
// Exit code 0 when the image was written, 1 otherwise.
#include <iostream>
#include <string>

#include "iso/iso_writer.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: pack-directory SRC_DIR OUT.iso [BOOT_IMAGE]" << std::endl;
    return 1;
  }
  ISOWriter writer(argv[1], "");
  const std::string bootImage = argc == 4 ? argv[3] : "";
  return writer.Pack(argv[2], bootImage) == 0 ? 0 : 1;
}
