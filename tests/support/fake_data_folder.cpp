#include "tests/support/fake_data_folder.h"

namespace ventrix::testing {

std::string FakeDataFolder::inside(const std::string& path) const {
    const std::string root = Root;
    if (path == root) return {};
    if (path.compare(0, root.size() + 1, root + "\\") == 0) return path.substr(root.size() + 1);
    return "\x01outside:" + path;  // never an entry
}

bool FakeDataFolder::throughLink(const std::string& name) {
    const bool link = name.empty() ? root_ == EntryKind::Link : links_.count(name) != 0;
    if (link) followed_.push_back(name);
    return link;
}

EntryKind FakeDataFolder::kind(const std::string& path) {
    if (asideFiles_.count(path)) return EntryKind::File;
    const std::string name = inside(path);
    if (name.empty()) return root_;
    if (root_ != EntryKind::Folder) return EntryKind::Missing;
    if (links_.count(name)) return EntryKind::Link;
    if (files_.hasFolder(name)) return EntryKind::Folder;
    return files_.has(name) ? EntryKind::File : EntryKind::Missing;
}

bool FakeDataFolder::ownedByMachine(const std::string& path) {
    if (asideFiles_.count(path)) return asideForeign_.count(path) == 0;
    const std::string name = inside(path);
    return !throughLink(name) && foreign_.count(name) == 0;
}

bool FakeDataFolder::create(const std::string& folder) {
    if (!inside(folder).empty() || root_ != EntryKind::Missing) return false;
    root_ = EntryKind::Folder;
    created_ = true;
    return true;
}

DataFolderPlatform::Protection FakeDataFolder::protect(const std::string& folder) {
    const std::string name = inside(folder);
    if (!name.empty() || root_ != EntryKind::Folder || foreign_.count("")) return Protection::NotTheMachines;
    return refusedProtection_ ? Protection::Failed : Protection::Done;
}

// The folder itself goes with everything it holds, unopened; an entry is
// renamed with what is under it.
bool FakeDataFolder::moveAside(const std::string& path, std::string& aside) {
    const std::string name = inside(path);
    if (refusedRemoval_.count(name)) return false;
    aside = path + ".aside-" + std::to_string(putAside_.size() + 1);
    putAside_.push_back(name);
    if (!name.empty()) {
        for (const std::string& entry : files_.names()) {
            if (entry != name && entry.compare(0, name.size() + 1, name + "\\") != 0) continue;
            const std::string moved = inside(aside) + entry.substr(name.size());
            if (files_.hasFolder(entry)) {
                files_.removeFolder(entry);
                files_.putFolder(moved);
            } else {
                files_.put(moved, files_.contents(entry));
                files_.remove(entry.c_str());
            }
            if (foreign_.erase(entry)) foreign_.insert(moved);
        }
        links_.erase(name);
        return true;
    }
    for (const std::string& entry : files_.names()) {
        if (!files_.hasFolder(entry)) asideFiles_[aside + "\\" + entry] = files_.contents(entry);
        if (foreign_.count(entry)) asideForeign_.insert(aside + "\\" + entry);
        files_.hasFolder(entry) ? static_cast<void>(files_.removeFolder(entry)) : files_.remove(entry.c_str());
    }
    foreign_.clear();
    links_.clear();
    root_ = EntryKind::Missing;
    return true;
}

bool FakeDataFolder::move(const std::string& from, const std::string& to) {
    const auto found = asideFiles_.find(from);
    if (found == asideFiles_.end() || root_ != EntryKind::Folder) return false;
    files_.put(inside(to), found->second);
    asideFiles_.erase(found);
    return true;
}

bool FakeDataFolder::list(const std::string& folder, std::vector<std::string>& names) {
    const std::string name = inside(folder);
    if (throughLink(name) || kind(folder) != EntryKind::Folder) return false;
    const std::string prefix = name.empty() ? "" : name + "\\";
    names.clear();
    for (const std::string& entry : files_.names()) {
        if (entry.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string rest = entry.substr(prefix.size());
        if (!rest.empty() && rest.find('\\') == std::string::npos) names.push_back(rest);
    }
    return true;
}

bool FakeDataFolder::remove(const std::string& path) {
    const std::string name = inside(path);
    if (name.empty() || refusedRemoval_.count(name)) return false;
    foreign_.erase(name);
    if (links_.erase(name)) return files_.removeFolder(name);
    if (files_.hasFolder(name)) {
        std::vector<std::string> left;
        return list(path, left) && left.empty() && files_.removeFolder(name);
    }
    files_.remove(name.c_str());
    return !files_.has(name);
}

}  // namespace ventrix::testing
