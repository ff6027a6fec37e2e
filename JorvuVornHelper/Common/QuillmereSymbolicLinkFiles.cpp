#include "JorvuVornHelper/Common/QuillmereSymbolicLinkFiles.hpp"

#include <filesystem>
#include <system_error>
#include <vector>

#include "Common/Logger/VornLogger.hpp"
#include "Platform/Paths.hpp"

namespace fs = std::filesystem;

namespace {

// Library aliases: (link name, target name).
const std::vector<std::pair<const char*, const char*>>& libraries() {
  static const std::vector<std::pair<const char*, const char*>> list = {
      {"libgmodule-2.0.dylib", "libgmodule-2.0.0.dylib"},
      {"libgthread-2.0.dylib", "libgthread-2.0.0.dylib"},
      {"libgstsdp-1.0.dylib", "libgstsdp-1.0.0.dylib"},
      {"libgstmpegts-1.0.dylib", "libgstmpegts-1.0.0.dylib"},
      {"libgstrtsp-1.0.dylib", "libgstrtsp-1.0.0.dylib"},
      {"libgstreamer-1.0.dylib", "libgstreamer-1.0.0.dylib"},
      {"libgsttranscoder-1.0.dylib", "libgsttranscoder-1.0.0.dylib"},
      {"libgstplay-1.0.dylib", "libgstplay-1.0.0.dylib"},
      {"libgobject-2.0.dylib", "libgobject-2.0.0.dylib"},
      {"libgstcodecs-1.0.dylib", "libgstcodecs-1.0.0.dylib"},
      {"libgstcodecparsers-1.0.dylib", "libgstcodecparsers-1.0.0.dylib"},
      {"libgstbadaudio-1.0.dylib", "libgstbadaudio-1.0.0.dylib"},
      {"libgstrtp-1.0.dylib", "libgstrtp-1.0.0.dylib"},
      {"libgmp.dylib", "libgmp.10.dylib"},
      {"libgstwebrtc-1.0.dylib", "libgstwebrtc-1.0.0.dylib"},
      {"libgsttag-1.0.dylib", "libgsttag-1.0.0.dylib"},
      {"libcxfreetype.so", "libcxfreetype.6.dylib"},
      {"libgstisoff-1.0.dylib", "libgstisoff-1.0.0.dylib"},
      {"libgio-2.0.dylib", "libgio-2.0.0.dylib"},
      {"libglib-2.0.dylib", "libglib-2.0.0.dylib"},
      {"libintl.dylib", "libintl.8.dylib"},
      {"libgstvideo-1.0.dylib", "libgstvideo-1.0.0.dylib"},
      {"libgnutls.dylib", "libgnutls.30.dylib"},
      {"libgstfft-1.0.dylib", "libgstfft-1.0.0.dylib"},
      {"libgstadaptivedemux-1.0.dylib", "libgstadaptivedemux-1.0.0.dylib"},
      {"libSDL2.dylib", "libSDL2-2.0.0.dylib"},
      {"libgstbasecamerabinsrc-1.0.dylib", "libgstbasecamerabinsrc-1.0.0.dylib"},
      {"libgstphotography-1.0.dylib", "libgstphotography-1.0.0.dylib"},
      {"libgstpbutils-1.0.dylib", "libgstpbutils-1.0.0.dylib"},
      {"libgstallocators-1.0.dylib", "libgstallocators-1.0.0.dylib"},
      {"libffi.dylib", "libffi.8.dylib"},
      {"libgstcontroller-1.0.dylib", "libgstcontroller-1.0.0.dylib"},
      {"libpcre2-8.dylib", "libpcre2-8.0.dylib"},
      {"libgstnet-1.0.dylib", "libgstnet-1.0.0.dylib"},
      {"libgstriff-1.0.dylib", "libgstriff-1.0.0.dylib"},
      {"libgsturidownloader-1.0.dylib", "libgsturidownloader-1.0.0.dylib"},
      {"libcxfreetype.dylib", "libcxfreetype.6.dylib"},
      {"libgstaudio-1.0.dylib", "libgstaudio-1.0.0.dylib"},
      {"libgstinsertbin-1.0.dylib", "libgstinsertbin-1.0.0.dylib"},
      {"libgstbase-1.0.dylib", "libgstbase-1.0.0.dylib"},
      {"libgstgl-1.0.dylib", "libgstgl-1.0.0.dylib"},
      {"libgstplayer-1.0.dylib", "libgstplayer-1.0.0.dylib"},
      {"libpcre2-posix.dylib", "libpcre2-posix.3.dylib"},
      {"libgstsctp-1.0.dylib", "libgstsctp-1.0.0.dylib"},
      {"libgstapp-1.0.dylib", "libgstapp-1.0.0.dylib"},
  };
  return list;
}

constexpr const char* windowsStubs[] = {"findfast.exe", "ctfmon.exe", "mosearch.exe", "imjpmig.exe", "qttask.exe",
                                        "progman.exe",  "ddhelp.exe", "mdm.exe",      "maildoff.exe", "pstores.exe"};

std::array<QuillmereSymbolicLinkFiles::Row, QuillmereSymbolicLinkFiles::rowCount> buildTable() {
  const std::string contents = std::string(QuillmereSymbolicLinkFiles::bundlePath) + "/Contents";
  const std::string support = contents + "/SharedSupport/quillmeretest";
  std::vector<QuillmereSymbolicLinkFiles::Row> rows;
  // Each row is (target, link), both in `folder`.
  auto add = [&](const std::string& folder, const std::string& link, const std::string& target) {
    rows.emplace_back(folder + "/" + target, folder + "/" + link);
  };
  const auto& libs = libraries();
  for (const auto& [link, target] : libs) add(support + "/lib64", link, target);
  add(support + "/support", "default", "quillmere");
  for (std::size_t i = 0; i < 20; ++i) add(support + "/lib", libs[i].first, libs[i].second);
  const std::string wine = support + "/lib/wine";
  add(wine, "x86_64-unix/libwine.1.dylib", "x86_64-unix/libwine.1.0.dylib");
  add(wine, "i386-unix/libwine.1.dylib", "i386-unix/libwine.1.0.dylib");
  for (const char* stub : windowsStubs) add(wine, std::string("i386-windows/") + stub, "i386-windows/cxdummy.exe");
  for (const char* stub : windowsStubs) add(wine, std::string("x86_64-windows/") + stub, "x86_64-windows/cxdummy.exe");
  for (std::size_t i = 20; i < libs.size(); ++i) add(support + "/lib", libs[i].first, libs[i].second);
  for (const char* tool : {"regsvr32", "cxstart", "regedit", "autorun"}) add(support + "/QuillmereT", tool, "wine");
  const std::string python = contents + "/Frameworks/Python.framework";
  add(python, "Python", "Versions/3.10/Python");
  add(python, "Resources", "Versions/3.10/Resources");
  add(python, "Versions/3.10/lib/libpython3.10.dylib", "Versions/3.10/Python");
  add(python, "Versions/Current", "Versions/3.10");
  add(support, "bin", "QuillmereT");

  std::array<QuillmereSymbolicLinkFiles::Row, QuillmereSymbolicLinkFiles::rowCount> table;
  if (rows.size() != table.size()) std::terminate();  // the table is fixed; a wrong count is a build fault
  for (std::size_t i = 0; i < rows.size(); ++i) table[i] = std::move(rows[i]);
  return table;
}

void logFailure(const std::error_code& ec, const std::string& what) {
  logError("An error occurred: " + what + " " + ec.message());
}

}  // namespace

const std::array<QuillmereSymbolicLinkFiles::Row, QuillmereSymbolicLinkFiles::rowCount>&
QuillmereSymbolicLinkFiles::symbolic() {
  static const auto table = buildTable();
  return table;
}

void QuillmereSymbolicLinkFiles::make() {
  const auto& table = symbolic();
  std::error_code ec;
  // The last row's link, followed to its target: a complete earlier run.
  if (fs::exists(platform::resolvePath(table.back().second), ec)) {
    logInfo("already maked");
    return;
  }
  logInfo("make symbolicLink files");
  for (const auto& [targetPath, linkPath] : table) {
    const std::string target = platform::resolvePath(targetPath);
    const std::string link = platform::resolvePath(linkPath);
    // Anything at the link path goes, a dangling link included (it would
    // otherwise make the creation fail on every launch).
    const fs::file_status present = fs::symlink_status(link, ec);
    if (!ec && fs::exists(present)) {
      fs::remove_all(link, ec);
      if (ec) {
        logFailure(ec, "removeItem(" + link + ")");
        continue;
      }
    }
    ec.clear();
    fs::create_symlink(target, link, ec);
    if (ec) logFailure(ec, "createSymbolicLink(" + link + " -> " + target + ")");
  }
}
