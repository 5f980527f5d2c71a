// The modifier's pack in the keep layout: the same step lines as the
// writer's pack, each writing what the patch plan holds for it.
#include <iostream>

#include "common/console.h"
#include "iso/iso_modifier.h"

namespace {

// The body of a write step: prints what went wrong and names it an IO error.
std::string Written(const std::function<void()>& write) {
  try {
    write();
    return "";
  } catch (const std::exception& e) {
    FailureLine(e.what());
    return "IO error";
  }
}

std::vector<SectorWrite> DescriptorsAt(const PatchPlan& plan, bool primary) {
  std::vector<SectorWrite> writes;
  for (const SectorWrite& write : plan.descriptors) {
    if ((write.sector == kPrimaryDescriptorSector) == primary) writes.push_back(write);
  }
  return writes;
}

}  // namespace

int ISOModifier::WritePack(ImageSink& output, const std::string& bootImagePath) {
  if (layout == ImageLayout::Compact) return ISOWriter::WritePack(output, bootImagePath);
  PatchPlan plan;
  try {
    plan = PlanPatch(*image.Open(), root, Facts(), packRecordDate, packVolumeDate);
  } catch (const CannotPatch& e) {
    Warning("the image cannot be patched in place (%s); the new image is written in the compact "
            "layout instead", e.what());
    if (!PrepareCompact()) return 1;
    return ISOWriter::WritePack(output, bootImagePath);
  } catch (const std::exception& e) {
    // Said in the step the compact layout fails in too.
    const std::string reason = e.what();
    RunPackStep("load source directory & boot image file", [&] { return reason; });
    return 1;
  }
  return PatchSource(output, plan, bootImagePath);
}

int ISOModifier::PatchSource(ImageSink& output, const PatchPlan& plan,
                             const std::string& bootImagePath) {
  for (const std::string& warning : plan.warnings) Warning("%s", warning.c_str());
  // The marks count the files written, then what the copy kept.
  std::uint64_t fileBytes = 0;
  for (const FileWrite& file : plan.files) fileBytes += file.size;
  StartProgress(fileBytes + plan.sourceBytes);
  std::unique_ptr<ImageSource> source;
  const auto nothing = [] { return std::string(); };
  const bool boot = !bootImagePath.empty();
  const bool written =
      RunPackStep("load source directory & boot image file",
                  [&] { return Written([&] { source = image.Open(); }); }) &&
      RunPackStep("write system reserved sector",
                  [&] { return Written([&] { CopySourceAndZeroStale(plan, *source, output); }); }) &&
      RunPackStep("write primary volume descriptor",
                  [&] { return Written([&] { WriteSectors(DescriptorsAt(plan, true), output); }); }) &&
      (!boot || RunPackStep("write boot record", nothing)) &&
      (!Facts().HasJoliet() ||
       RunPackStep("write Joliet volume descriptor", [&] {
         return Written([&] { WriteSectors(DescriptorsAt(plan, false), output); });
       })) &&
      RunPackStep("write volume descriptor set terminator", nothing) &&
      (!boot || RunPackStep("write boot image", nothing)) &&
      RunPackStep("write path tables",
                  [&] { return Written([&] { WriteSectors(plan.pathTables, output); }); },
                  "write path table") &&
      RunPackStep("write directory record and files", [&] {
        return Written([&] {
          WriteFiles(plan, output, [&](std::uint64_t n) { ShowProgress(n); });
          WriteSectors(plan.directories, output);
          for (const AreaWrite& write : plan.systemArea) {
            output.WriteAt(write.offset, write.bytes.data(), write.bytes.size());
          }
          // What the copy kept counts as done too.
          if (doneBytes < totalBytes) ShowProgress(totalBytes - doneBytes);
        });
      }, "write directory record and file");
  source.reset();
  return ClosePack(written, output);
}
