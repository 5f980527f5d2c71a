// Changes an existing image without unpacking it: the reader side loads the
// source tree, AddSingleFile / AddSingleDirectory add or replace entries in
// it, and the writer side packs the combined tree into a new image. Files
// that were not replaced are copied from the source image.
#pragma once

#include <string>

#include "iso/iso_reader.h"
#include "iso/iso_writer.h"
#include "iso/patch_layout.h"

class ISOModifier : public ISOReader, public ISOWriter {
 public:
  explicit ISOModifier(const ImageOrigin& image);
  ~ISOModifier() override;

  int Unpack(const std::string& localDirectory) override;
  int RetrieveFile(const std::string& imagePath, const std::string& localPath) override;
  int RetrieveDir(const std::string& imagePath, const std::string& localDirectory) override;
  bool FileExists(const std::string& imagePath) override;
  bool DirectoryExists(const std::string& imagePath) override;

  virtual int AddSingleFile(const std::string& localPath, const std::string& imagePath,
                            bool replace);
  virtual int AddSingleDirectory(const std::string& localPath, const std::string& imagePath,
                                 bool replace);
  // The name of the entry at `imagePath` (compared as for the same entry)
  // that an addition put there, "" when it is the source image's or none.
  virtual std::string AddedEntryName(const std::string& imagePath);
  // Fills the new primary volume descriptor with the source's identifiers.
  virtual int CreateNewPVD(std::uint32_t volumeSpaceSize, std::uint32_t pathTableSize,
                           std::uint32_t typeLSector, std::uint32_t typeMSector,
                           const RawDirectoryRecord& rootRecord, std::uint8_t* buffer);

  // Fills the new Joliet descriptor with the source Joliet descriptor's
  // identifiers and escape sequences.
  int CreateJolietVolumeDescriptor(std::uint32_t volumeSpaceSize, std::uint32_t pathTableSize,
                                   std::uint32_t typeLSector, std::uint32_t typeMSector,
                                   const RawDirectoryRecord& rootRecord,
                                   std::uint8_t* buffer) override;

  // Compact (the writer's packed layout) unless told otherwise.
  void SetLayout(ImageLayout layout) { this->layout = layout; }

  DirectoryRecord* LoadLocalDirectory(const std::string& localDirectory) override;
  int CreatePrimaryVolumeDescriptor(std::uint32_t volumeSpaceSize, std::uint32_t pathTableSize,
                                    std::uint32_t typeLSector, std::uint32_t typeMSector,
                                    const RawDirectoryRecord& rootRecord,
                                    std::uint8_t* buffer) override;

 protected:
  // Loads the source image; the pack writes a Joliet hierarchy when the
  // source image has one.
  bool PreparePack() override;
  int WritePack(ImageSink& output, const std::string& bootImagePath) override;

 private:
  // What the compact layout needs beyond the load: every list read, and
  // the source's boot catalog carried.
  bool PrepareCompact();
  // The keep layout: a copy of the source with only the changes written.
  int PatchSource(ImageSink& output, const PatchPlan& plan, const std::string& bootImagePath);

  ImageLayout layout = ImageLayout::Compact;
  // The entries additions replaced, linked through `next`.
  DirectoryRecord* replacedEntries = nullptr;
};
