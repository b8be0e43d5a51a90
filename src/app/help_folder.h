#pragma once

#include <QString>

namespace quill {

// The folder of the help pages: help/ beside the program (a build tree, or a
// copy of the program with its pages), else the installed pages found from
// the program's folder (share/quillmere-photo/help/ of the same prefix). The
// folder beside the program when neither exists, so that nothing opens.
QString HelpFolder(const QString& programFolder);

}  // namespace quill
