// Shared pieces of the editor tests: a reader that answers existence
// questions from a fixed set of image paths (no image needed), and a
// workspace laid out like the one the run prepares.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "iso/iso_reader.h"
#include "tests/test_support.h"
#include "winpe/winpe_editor.h"

namespace editor_testing {

// Paths are stored and asked without leading separators and with "\".
class FakeReader : public ISOReader {
 public:
  FakeReader() : ISOReader("fake.iso") {}

  void AddFile(const std::string& path) { files.insert(Normal(path)); }
  void AddDirectory(const std::string& path) { directories.insert(Normal(path)); }

  bool FileExists(const std::string& path) override { return files.count(Normal(path)) > 0; }
  bool DirectoryExists(const std::string& path) override {
    return directories.count(Normal(path)) > 0;
  }

 private:
  static std::string Normal(std::string path) {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    while (!path.empty() && path.front() == '\\') path.erase(0, 1);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
  }
  std::set<std::string> files;
  std::set<std::string> directories;
};

struct EditorOptions {
  std::vector<std::string> storageDrivers, networkDrivers, binaries, startBinaries, packages,
      startPackages, directories, files;
  std::string vnc;
  bool disableFirewall = false;
};

// A scratch directory with "image_file_dir" (the workspace root) and the
// directories the run creates under it, plus a "src" directory for sources.
class EditorWorkspace {
 public:
  EditorWorkspace() : root(scratch / "image_file_dir"), src(scratch / "src") {
    for (const char* dir : {"I386/SYSTEM32/CONFIG", "I386/SYSTEM32/DRIVERS", "I386/INF",
                            "FERROVANE"}) {
      testing_support::MakeDirs(root + "/" + dir);
    }
    testing_support::MakeDirs(src);
  }

  std::unique_ptr<WinpeEditor> Editor(const EditorOptions& o = EditorOptions()) {
    return std::unique_ptr<WinpeEditor>(new WinpeEditor(
        o.storageDrivers, o.networkDrivers, o.binaries, o.startBinaries, o.packages,
        o.startPackages, o.directories, o.files, o.vnc, o.disableFirewall, root, &reader));
  }

  // Writes a source file under "src" and returns its path.
  std::string SourceFile(const std::string& relative, const std::string& content = "data") {
    std::string path = src + "/" + relative;
    std::string::size_type slash = path.rfind('/');
    testing_support::MakeDirs(path.substr(0, slash));
    testing_support::WriteFile(path, content);
    return path;
  }
  std::string SourceDir(const std::string& relative) {
    std::string path = src + "/" + relative;
    testing_support::MakeDirs(path);
    return path;
  }

  std::string Read(const std::string& relative) {
    return testing_support::ReadFile(root + "/" + relative);
  }
  void Write(const std::string& relative, const std::string& content) {
    testing_support::WriteFile(root + "/" + relative, content);
  }
  bool Exists(const std::string& relative) { return testing_support::Exists(root + "/" + relative); }

  testing_support::ScratchDir scratch;
  FakeReader reader;
  std::string root;
  std::string src;
};

}  // namespace editor_testing
