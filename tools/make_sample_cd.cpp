// make-sample-cd: writes a small WinPE-like CD tree (the files the
// customization edits, a valid minimal default user hive, a few programs
// and directories) and packs it with our ISOWriter into a bootable
// no-emulation image whose boot program prints one line on COM1.
//
//   make-sample-cd OUTPUT.iso [WORK_DIR]
//
// The tree is written to WORK_DIR/cd and the boot program to
// WORK_DIR/boot.bin; WORK_DIR must be absent or empty and is kept. Without
// WORK_DIR a directory OUTPUT.iso.work is used and removed afterwards.
// Exit code 0 when the image was written, 1 otherwise.
#include <boost/filesystem.hpp>

#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "iso/iso_writer.h"
#include "tools/minimal_hive.h"

namespace fs = boost::filesystem;

namespace {

// The line the boot program prints, as the boot test expects it.
const char kBootLine[] = "SAMPLE CD BOOTED";

// A 16-bit real-mode program, loaded by the BIOS at 07C0:0000 from the
// no-emulation boot entry. It sets DS itself and uses only relative jumps,
// so it runs whether the BIOS enters it as 07C0:0000 or 0000:7C00.
// Assembled by hand; the offsets are those of the bytes in the file.
std::vector<std::uint8_t> BootProgram() {
  std::vector<std::uint8_t> code = {
      0xFA,              // 00 cli
      0xFC,              // 01 cld
      0xB8, 0xC0, 0x07,  // 02 mov ax, 0x07C0
      0x8E, 0xD8,        // 05 mov ds, ax
      // COM1: interrupts off, 115200 baud (divisor 1), 8N1, FIFO on, DTR/RTS.
      0xBA, 0xF9, 0x03,  // 07 mov dx, 0x3F9   ; interrupt enable
      0x30, 0xC0,        // 0A xor al, al
      0xEE,              // 0C out dx, al
      0xBA, 0xFB, 0x03,  // 0D mov dx, 0x3FB   ; line control
      0xB0, 0x80,        // 10 mov al, 0x80    ; divisor latch access
      0xEE,              // 12 out dx, al
      0xBA, 0xF8, 0x03,  // 13 mov dx, 0x3F8   ; divisor low
      0xB0, 0x01,        // 16 mov al, 1
      0xEE,              // 18 out dx, al
      0xBA, 0xF9, 0x03,  // 19 mov dx, 0x3F9   ; divisor high
      0x30, 0xC0,        // 1C xor al, al
      0xEE,              // 1E out dx, al
      0xBA, 0xFB, 0x03,  // 1F mov dx, 0x3FB
      0xB0, 0x03,        // 22 mov al, 3       ; 8 bits, no parity, 1 stop
      0xEE,              // 24 out dx, al
      0xBA, 0xFA, 0x03,  // 25 mov dx, 0x3FA   ; FIFO control
      0xB0, 0xC7,        // 28 mov al, 0xC7
      0xEE,              // 2A out dx, al
      0xBA, 0xFC, 0x03,  // 2B mov dx, 0x3FC   ; modem control
      0xB0, 0x03,        // 2E mov al, 3
      0xEE,              // 30 out dx, al
      0xBE, 0x4E, 0x00,  // 31 mov si, 0x004E  ; the message
      // next:
      0xAC,              // 34 lodsb
      0x84, 0xC0,        // 35 test al, al
      0x74, 0x12,        // 37 jz done (0x4B)
      0x88, 0xC4,        // 39 mov ah, al
      // wait_ready:
      0xBA, 0xFD, 0x03,  // 3B mov dx, 0x3FD   ; line status
      0xEC,              // 3E in al, dx
      0xA8, 0x20,        // 3F test al, 0x20   ; transmitter holding register empty
      0x74, 0xF8,        // 41 jz wait_ready (0x3B)
      0xBA, 0xF8, 0x03,  // 43 mov dx, 0x3F8   ; transmit
      0x88, 0xE0,        // 46 mov al, ah
      0xEE,              // 48 out dx, al
      0xEB, 0xE9,        // 49 jmp next (0x34)
      // done:
      0xF4,              // 4B hlt
      0xEB, 0xFD,        // 4C jmp done (0x4B)
  };
  // 4E: the message, CR LF, NUL.
  for (const char* c = kBootLine; *c != '\0'; ++c) code.push_back(static_cast<std::uint8_t>(*c));
  code.insert(code.end(), {'\r', '\n', 0});
  // One CD sector; the BIOS loads 4 virtual sectors of 512 bytes.
  code.resize(2048, 0);
  return code;
}

// A stand-in for the boot-fix program: the "press any key" prompt's text
// behind a short jump, as the removal of that prompt expects a program.
std::vector<std::uint8_t> BootFixProgram() {
  std::vector<std::uint8_t> bytes = {0xEB, 0x3E, 0x90};
  const std::string text = "Press any key to boot from CD..";
  bytes.resize(0x40, 0);
  bytes.insert(bytes.end(), text.begin(), text.end());
  while (bytes.size() < 0x180) bytes.push_back(static_cast<std::uint8_t>(bytes.size() * 13 + 7));
  return bytes;
}

// A placeholder executable: "MZ" and a fixed filler pattern.
std::vector<std::uint8_t> Program(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
  if (size >= 2) {
    bytes[0] = 'M';
    bytes[1] = 'Z';
  }
  return bytes;
}

// Joins the lines with CR LF after each, as the WinPE text files are kept.
std::string CrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  fs::create_directories(path.parent_path());
  fs::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.exceptions(std::ios::failbit | std::ios::badbit);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& path, const std::string& text) {
  WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

void WriteTree(const fs::path& cd) {
  WriteText(cd / "WINBOM.INI", CrLf({
      ";",
      "; WinPE answer file",
      ";",
      "[Factory]",
      "WinBOMType=WinPE",
      "Reseal=No",
      "",
      "[WinPE]",
      "Restart=No",
      "",
      "[PnPDriverUpdate]",
      "",
      "[PnPDrivers]",
      "",
      "[NetCards]",
      "",
      "[UpdateInis]",
      "",
      "[FactoryRunOnce]",
      "",
      "[Branding]",
      "",
      "[AppPreInstall]",
      "",
      "[WinPE.Net]",
      "Startnet=Yes",
  }));
  WriteText(cd / "I386/SYSTEM32/WINPEOEM.SIF", CrLf({
      ";",
      "; OEM drivers of the WinPE environment.",
      "; Remove the leading ';' of the three lines below and list the driver",
      "; directories under \\I386\\SYSTEM32\\DRIVERS to load mass-storage drivers.",
      ";",
      "[Version]",
      "Signature = \"$Windows NT$\"",
      "",
      ";[OemDriverParams]",
      ";OemDriverRoot=\"\"",
      ";OemDriverDirs=",
  }));
  WriteText(cd / "I386/SYSTEM32/STARTNET.CMD", CrLf({
      "@echo off",
      "rem Network start-up of the WinPE environment",
      "factory -winpe",
      "rem X:\\FERROVANE\\FERROVANE.EXE is started through FERROVANE\\REDODOZAD.XML",
  }));
  WriteText(cd / "FERROVANE/REDODOZAD.XML", CrLf({
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
      "<redoDozad>",
      "  <settings logLevel=\"info\" console=\"true\" />",
      "  <exec processName=\"X:\\I386\\SYSTEM32\\STARTNET.CMD\" currentDir=\"X:\\I386\\SYSTEM32\" />",
      "  <exec processName=\"X:\\FERROVANE\\FERROVANE.EXE\" currentDir=\"X:\\FERROVANE\" />",
      "</redoDozad>",
  }));
  WriteText(cd / "DOCS/README.TXT", CrLf({
      "Sample WinPE CD",
      "",
      "A small stand-in for a WinPE boot CD, made to try the customization tool",
      "on. Its boot program only prints one line on the first serial port.",
  }));
  WriteBytes(cd / "I386/SYSTEM32/CONFIG/DEFAULT", sample_hive::MakeMinimalHive());
  WriteBytes(cd / "I386/BOOTFIX.BIN", BootFixProgram());
  WriteBytes(cd / "I386/SYSTEM32/CMD.EXE", Program(3000, 1));
  WriteBytes(cd / "I386/SYSTEM32/FACTORY.EXE", Program(700, 2));
  WriteBytes(cd / "I386/SYSTEM32/DRIVERS/NULL.SYS", Program(2048, 3));
  WriteBytes(cd / "I386/SYSTEM32/DRIVERS/CDROM.SYS", Program(5000, 4));
  WriteText(cd / "I386/INF/CDROM.INF", CrLf({
      "[Version]",
      "Signature=\"$Windows NT$\"",
      "Class=CDROM",
      "",
      "[Manufacturer]",
      "%GenManufacturer%=cdrom_device",
  }));
  WriteBytes(cd / "FERROVANE/FERROVANE.EXE", Program(4500, 5));
  WriteBytes(cd / "DOCS/EMPTY.TXT", {});
}

}  // namespace

int main(int argc, char** argv) {
  // An option where the output belongs ("--help") is no name to write to.
  if (argc < 2 || argc > 3 || argv[1][0] == '-') {
    std::cerr << "usage: make-sample-cd OUTPUT.iso [WORK_DIR]" << std::endl;
    return argc == 2 && std::string(argv[1]) == "--help" ? 0 : 1;
  }
  const fs::path output = argv[1];
  const bool keepWork = argc == 3;
  const fs::path work = keepWork ? fs::path(argv[2]) : fs::path(output.string() + ".work");
  try {
    if (fs::exists(work) && !(fs::is_directory(work) && fs::is_empty(work))) {
      std::cerr << "make-sample-cd: " << work.string()
                << " exists and is not an empty directory; name a new one" << std::endl;
      return 1;
    }
    WriteTree(work / "cd");
    WriteBytes(work / "boot.bin", BootProgram());

    ISOWriter writer((work / "cd").string(), "");
    const int result = writer.Pack(output.string(), (work / "boot.bin").string());
    if (!keepWork) fs::remove_all(work);
    if (result != 0) {
      std::cerr << "make-sample-cd: packing " << output.string() << " failed" << std::endl;
      return 1;
    }
    std::cout << "make-sample-cd: wrote " << output.string() << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "make-sample-cd: " << e.what() << std::endl;
    return 1;
  }
}
