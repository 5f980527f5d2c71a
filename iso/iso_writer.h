// Writes a complete ISO 9660 image with an optional El Torito no-emulation
// boot image from a tree of DirectoryRecord nodes.
//
// Everything is laid out first (LoadLocalDirectory / ComputePathTableSize /
// LayOutDirectory / ComputeSectorLayout, no I/O), then written at the
// precomputed positions by Pack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "iso/image_sink.h"
#include "iso/image_source.h"
#include "iso/iso_manipulator.h"

// Sector numbers of every structure of a new image.
//
// The descriptors come first (primary 16, then the boot record, the Joliet
// descriptor and the terminator, each when present), then the boot catalog,
// the type L and M path tables, the Joliet L and M path tables, the
// directory area (the primary hierarchy, then the Joliet one), the boot
// image and the file area, whose extents both hierarchies share.
struct SectorLayout {
  std::uint32_t pathTableSectors = 0;  // T
  std::uint32_t bootImageSectors = 0;  // K
  bool hasBootImage = false;
  bool hasJoliet = false;
  std::uint32_t primaryVolumeDescriptor = 16;
  std::uint32_t bootRecord = 0;  // 17 with a boot image
  std::uint32_t jolietVolumeDescriptor = 0;
  std::uint32_t terminator = 17;
  std::uint32_t bootCatalog = 0;  // 19 with a boot image and without Joliet
  std::uint32_t typeLPathTable = 18;
  std::uint32_t typeMPathTable = 0;
  std::uint32_t jolietPathTableSectors = 0;
  std::uint32_t jolietTypeLPathTable = 0;
  std::uint32_t jolietTypeMPathTable = 0;
  std::uint32_t directoryAreaStart = 0;
  std::uint32_t bootImageStart = 0;
  std::uint32_t fileAreaStart = 0;
  std::uint32_t totalSectors = 0;  // volume space size
};

// P = path table size in bytes, D/F = directory/file area sectors (D counts
// both hierarchies), bootImageBytes = size of the boot image file (ignored
// without one), jolietPathTableSize = size of the Joliet path table (0: no
// Joliet hierarchy).
SectorLayout ComputeSectorLayout(std::uint32_t pathTableSize, std::uint32_t directorySectors,
                                 std::uint32_t fileSectors, bool hasBootImage,
                                 std::uint64_t bootImageBytes,
                                 std::uint32_t jolietPathTableSize = 0);

// A boot image that the new catalog names: bytes of the source image that
// the pack copies into the boot image area, the default entry's first, at
// the start of the area. A boot image that is also a file of the tree keeps
// that file too; the catalog names the copy.
struct CarriedBootImage {
  std::size_t recordOffset = 0;  // its entry within CarriedBootCatalog::records
  std::uint64_t sourceOffset = 0;
  std::uint64_t bytes = 0;
  std::uint32_t areaSector = 0;  // from the start of the boot image area
  // The image's boot info table is valid in the source: its file LBA
  // follows the copy.
  bool bootInfoTable = false;
};

// The source's boot catalog as the new image records it.
struct CarriedBootCatalog {
  std::vector<std::uint8_t> records;
  std::vector<CarriedBootImage> images;
  std::uint32_t areaSectors = 0;  // sectors the carried bytes take
};

// What Pack lays out before it writes anything.
struct PackLayout {
  struct ListDeleter {
    void operator()(DirectoryRecord* list) const { ISOManipulator::FreeRecordList(list); }
  };
  std::uint32_t pathTableSize = 0;
  std::uint32_t jolietPathTableSize = 0;
  // The Joliet hierarchy, when the pack writes one.
  std::unique_ptr<DirectoryRecord, ListDeleter> joliet;
  SectorLayout sectors;
};

// Calls `visit` for every directory below the root list, breadth-first: the
// order in which the path tables number and list them (the root is 1, the
// first directory visited 2). `list` is the list that holds `directory`.
void ForEachDirectoryBreadthFirst(
    DirectoryRecord* rootList,
    const std::function<void(const DirectoryRecord* list, DirectoryRecord* directory)>& visit);

// Bytes of file data in a tree: what the pack's percentage display counts.
std::uint64_t TreeFileBytes(const DirectoryRecord* list);

// Gives every "." and ".." node the recording date (or the lack of one) of
// the directory it stands for; the root's comes from its own "." node.
void DateSelfAndParentRecords(DirectoryRecord* rootList);

// One step of a pack between its lines: "  NAME ...", then "  NAME done",
// or "  NAME failed - REASON" when `body` gives a reason. A few steps name
// themselves differently in their failure line.
bool RunPackStep(const char* name, const std::function<std::string()>& body,
                 const char* failedName = nullptr);

class ISOWriter : public virtual ISOManipulator {
 public:
  ISOWriter(std::string sourceDirectory, ImageOrigin sourceImage);
  ~ISOWriter() override;

  // Writes the image to a new file at `outputPath`.
  virtual int Pack(const std::string& outputPath, const std::string& bootImagePath);
  // Writes the image through `output`, which it closes when all went well.
  int Pack(ImageSink& output, const std::string& bootImagePath);
  virtual DirectoryRecord* LoadLocalDirectory(const std::string& localDirectory);
  virtual std::uint32_t ComputePathTableSize(DirectoryRecord* rootList);
  // parent == nullptr marks the root list (its ".." copies its ".").
  virtual std::uint32_t LayOutDirectory(const std::uint32_t* parentSize,
                                        const std::uint32_t* parentExtent, DirectoryRecord* list,
                                        std::uint32_t& directoryCounter,
                                        std::uint32_t& fileCounter);
  virtual void BuildDirectoryRecord(const DirectoryRecord* node, std::uint16_t volumeSequenceNumber,
                                    std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                                    RawDirectoryRecord& record);
  virtual int WriteEntry(DirectoryRecord* node, std::uint16_t volumeSequenceNumber,
                         std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                         ImageSink& output);
  virtual int WriteDirectoryTree(DirectoryRecord* list, std::uint16_t volumeSequenceNumber,
                                 std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                                 ImageSink& output);
  virtual std::uint32_t BuildPathTableRecord(const DirectoryRecord* node,
                                             std::uint32_t directoryAreaStart, bool bigEndian,
                                             RawPathTableRecord& record);
  virtual std::uint32_t WritePathTableL(DirectoryRecord* rootList, std::uint32_t tableSector,
                                        std::uint32_t directoryAreaStart, ImageSink& output);
  virtual std::uint32_t WritePathTableM(DirectoryRecord* rootList, std::uint32_t tableSector,
                                        std::uint32_t directoryAreaStart, ImageSink& output);
  virtual int WriteSystemArea(ImageSink& output);
  virtual int WritePrimaryVolumeDescriptor(const std::uint8_t* buffer, std::uint32_t sector,
                                           ImageSink& output);
  virtual int WriteTerminator(const std::uint8_t* buffer, std::uint32_t sector,
                              ImageSink& output);
  // Returns 0, or 1 when the descriptor could not be made (the modifier
  // reads the source image's descriptor and can fail).
  virtual int CreatePrimaryVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                            std::uint32_t pathTableSize,
                                            std::uint32_t typeLSector, std::uint32_t typeMSector,
                                            const RawDirectoryRecord& rootRecord,
                                            std::uint8_t* buffer);
  // The Joliet supplementary volume descriptor: the primary's fields with
  // identifiers in UCS-2 and the escape sequences of Joliet level 3.
  virtual int CreateJolietVolumeDescriptor(std::uint32_t volumeSpaceSize,
                                           std::uint32_t pathTableSize,
                                           std::uint32_t typeLSector, std::uint32_t typeMSector,
                                           const RawDirectoryRecord& rootRecord,
                                           std::uint8_t* buffer);
  virtual void CreateTerminator(std::uint8_t* buffer);
  virtual void CreateBootRecord(std::uint32_t catalogSector, std::uint8_t* buffer);
  virtual void CreateValidationEntry(ValidationEntry& entry);
  virtual void CreateInitialEntry(std::uint8_t systemType, std::uint16_t sectorCount,
                                  std::uint32_t loadSector, InitialEntry& entry);
  virtual int WriteBootRecord(const std::uint8_t* buffer, std::uint32_t sector,
                              ImageSink& output);
  virtual int WriteBootCatalog(const ValidationEntry& validation, const InitialEntry& initial,
                               std::uint32_t catalogSector, ImageSink& output);
  virtual int WriteBootImage(const std::string& bootImagePath, std::uint32_t sectorCount,
                             std::uint32_t loadSector, ImageSink& output);

  // A calendar time as a 17-byte volume date and a 7-byte recording date:
  // GMT fields, and the local zone's offset or, with `utc`, offset 0.
  static void MakeVolumeDate(std::uint8_t* date17, std::time_t when, bool utc = false);
  static void MakeRecordDate(std::uint8_t* date7, std::time_t when, bool utc = false);

  // Every later pack records `when` (seconds since 1970, UTC, offset 0)
  // instead of the time it is made at, so that the same tree always gives
  // the same bytes.
  void FixPackTime(std::time_t when) { fixedPackTime = when; }

 protected:
  // Lays out the Joliet hierarchy of the tree laid out last: its directories
  // after the primary ones (directorySectors grows), its files on the
  // primary's extents. Returns it (the caller frees it with FreeRecordList)
  // with the size of its path table. Throws when a name cannot be recorded.
  DirectoryRecord* LayOutJoliet(std::uint32_t& directorySectors, std::uint32_t fileSectors,
                                std::uint32_t& pathTableSize);
  // What a pack needs before it starts; false, having printed why, when it
  // cannot (the modifier loads its source image here).
  virtual bool PreparePack() { return true; }
  // Lays out and writes the image once the output is open; the modifier
  // may patch its source instead.
  virtual int WritePack(ImageSink& output, const std::string& bootImagePath);
  // Both Packs: prepares, opens the output (the file's failure is printed
  // here), lays out and writes.
  int PackThrough(const std::function<ImageSink*()>& openOutput,
                  const std::string& bootImagePath);
  // The steps of Pack; each prints its own lines and returns true when it
  // succeeded (LayOutTree: the reason it failed, "" when it did not).
  bool LayOutPack(const std::string& bootImagePath, PackLayout& plan);
  std::string LayOutTree(const std::string& bootImagePath, PackLayout& plan);
  int WriteImage(const PackLayout& plan, const std::string& bootImagePath, ImageSink& output);
  // The pack's last step once its sectors are written: the output closed and the success line.
  int ClosePack(bool written, ImageSink& output);
  bool WriteVolumeDescriptors(const PackLayout& plan, ImageSink& output);
  bool WriteBootCatalogAndImage(const PackLayout& plan, const std::string& bootImagePath,
                                ImageSink& output);
  bool WriteHierarchies(const PackLayout& plan, ImageSink& output);
  // One file's data at its extent, its last sector completed with zeros.
  void CopyFileData(const DirectoryRecord& node, std::uint32_t fileAreaStart, ImageSink& output);
  // The boot image file's size; throws when the catalog cannot count it.
  std::uint64_t BootImageSize(const std::string& bootImagePath) const;
  // One entry's directory record, without the file's data.
  int WriteRecord(const DirectoryRecord* node, std::uint16_t volumeSequenceNumber,
                  std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart,
                  ImageSink& output);
  // The records of a hierarchy, depth first; with the files' data or not.
  int WriteTree(DirectoryRecord* list, std::uint16_t volumeSequenceNumber,
                std::uint32_t directoryAreaStart, std::uint32_t fileAreaStart, bool withFileData,
                ImageSink& output);

  // The writer's own LoadLocalDirectory, called directly (never through the
  // virtual slot) for subdirectories and by the modifier's additions.
  // `depth` is the directory's level below the image root; names that the
  // reader would refuse and trees deeper than it loads fail.
  DirectoryRecord* LoadLocalDirectoryTree(const std::string& localDirectory,
                                          std::size_t depth = 0);

  // The carried catalog and a copy of each of its boot images.
  bool WriteCarriedCatalog(const SectorLayout& layout, ImageSink& output);

  // Takes the time the pack records, once: the fixed time or the current one.
  void TakePackTime();

  std::string sourceDirectory;
  ImageOrigin sourceImage;
  // The source image, open while a pack copies from it.
  std::unique_ptr<ImageSource> packSource;
  std::optional<std::time_t> fixedPackTime;
  // The pack's time in the two date formats: every record without a date
  // of its own and the volume descriptors carry it.
  std::uint8_t packVolumeDate[17] = {};
  std::uint8_t packRecordDate[7] = {};
  // Every entry of the source's boot catalog, which a pack with a boot image
  // carries instead of making a catalog of its own for the boot image file.
  std::optional<CarriedBootCatalog> carriedCatalog;
  // Whether Pack writes a Joliet hierarchy beside the primary one.
  bool withJoliet = false;
  // Directories numbered by the last ComputePathTableSize, root included,
  // counted without the 16-bit wrap of the path table numbers.
  std::uint32_t directoryCount = 0;
};
