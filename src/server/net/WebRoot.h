// WebRoot: the files a browser game's page is made of, served from one folder on the WebSocket
// port. Only regular files under that folder are found: a path that leaves it (with "..", an
// encoded "..", or a symbolic link pointing out) finds nothing, and a folder is never listed.
//
//   if (const auto file = FindWebFile("/srv/game", "/js/app.js", 8 << 20)) send(file->Body);
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zorva {

struct TWebFile {
  std::string Body;
  std::string_view ContentType;
};

// The file the request path `target` (query already removed, percent-encoded) names under
// `root`; "/" and a folder's path mean its index.html. Nothing when the path is malformed,
// leaves the folder, names no regular file, or the file is larger than `maxBytes`.
std::optional<TWebFile> FindWebFile(const std::string& root, std::string_view target,
                                    std::size_t maxBytes);

}  // namespace zorva
