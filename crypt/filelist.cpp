// SPDX-License-Identifier: GPL-3.0-or-later
#include "names.h"

// Only a marker at the very end makes a partner: a folder or file named
// after the program elsewhere in the path keeps its output beside the input.
std::string MakeOutFileName(std::string_view path)
{
    if (path.size() >= kMarker.size() && path.substr(path.size() - kMarker.size()) == kMarker)
        return std::string(path.substr(0, path.size() - kMarker.size()));
    std::string name(path);
    name += kMarker;
    return name;
}

FileList::FileList(std::string text) : text_(std::move(text))
{
    if (!text_.empty() && text_.back() != '\n')
        text_ += '\n';
}

bool FileList::next(std::string &path)
{
    if (cursor_ >= text_.size())
        return false;
    const std::size_t newline = text_.find('\n', cursor_);
    path.assign(text_, cursor_, newline - cursor_);
    cursor_ = newline + 1;
    return true;
}
