// Finds the El Torito boot record of an image, reads the boot catalog's
// validation and initial/default entries and the boot image they name, and
// writes the boot image to a local file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "iso/image_source.h"
#include "iso/iso_manipulator.h"

class ISOBootImageReader : public ISOManipulator {
 public:
  explicit ISOBootImageReader(ImageOrigin image);
  ~ISOBootImageReader() override;

  int LoadBootImage();
  int ExtractBootImage(const std::string& localPath);
  bool IsBootImageValid() const;

 private:
  void Release();
  // Reads the boot record, the two catalog entries and the boot image.
  void ReadCatalogAndImage(ImageSource& source);

  ImageOrigin image;
  std::unique_ptr<std::uint8_t[]> bootRecord;
  std::unique_ptr<ValidationEntry> validationEntry;
  std::unique_ptr<InitialEntry> initialEntry;
  std::unique_ptr<std::uint8_t[]> bootImage;
  std::uint32_t sectorCount = 0;
};
