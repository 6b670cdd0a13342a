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
    const std::string name = inside(path);
    if (name.empty()) return root_;
    if (root_ != EntryKind::Folder) return EntryKind::Missing;
    if (links_.count(name)) return EntryKind::Link;
    if (files_.hasFolder(name)) return EntryKind::Folder;
    return files_.has(name) ? EntryKind::File : EntryKind::Missing;
}

bool FakeDataFolder::ownedByMachine(const std::string& path) {
    const std::string name = inside(path);
    return !throughLink(name) && foreign_.count(name) == 0;
}

bool FakeDataFolder::create(const std::string& folder) {
    if (!inside(folder).empty() || root_ != EntryKind::Missing) return false;
    root_ = EntryKind::Folder;
    created_ = true;
    return true;
}

bool FakeDataFolder::makeOurs(const std::string& path) {
    const std::string name = inside(path);
    if (throughLink(name) || kind(path) == EntryKind::Missing || refusedOwner_.count(name)) return false;
    foreign_.erase(name);
    madeOurs_.push_back(name);
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
