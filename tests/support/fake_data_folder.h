// The service's data folder over a MemoryFileSystem, with what Windows adds:
// owners, links (junctions, symbolic links) and refusals. The folder's
// entries are the memory file system's names, so the policy file's saves
// meet whatever is planted there.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "service/machine_start.h"
#include "tests/support/memory_file_system.h"

namespace ventrix::testing {

class FakeDataFolder final : public DataFolderPlatform {
public:
    static constexpr const char* Root = "C:\\ProgramData\\Ventrix";

    explicit FakeDataFolder(MemoryFileSystem& files) : files_(files) {}

    EntryKind kind(const std::string& path) override;
    bool ownedByMachine(const std::string& path) override;
    bool create(const std::string& folder) override;
    Protection protect(const std::string& folder) override;
    bool moveAside(const std::string& path, std::string& aside) override;
    bool move(const std::string& from, const std::string& to) override;
    bool list(const std::string& folder, std::vector<std::string>& names) override;
    bool remove(const std::string& path) override;
    std::string lastErrorText() override { return "Access is denied."; }

    // Set-up; names are inside the folder ("" is the folder itself).
    void plantRoot(EntryKind kind = EntryKind::Folder) {
        root_ = kind;
        foreign_.insert("");
    }
    // A folder the machine made and owns, without the protected list yet.
    void ownRoot() { root_ = EntryKind::Folder; }
    void plantFolder(const std::string& name) {
        files_.putFolder(name);
        foreign_.insert(name);
    }
    void plantFile(const std::string& name) {
        files_.put(name, {0x66});
        foreign_.insert(name);
    }
    void plantLink(const std::string& name) {
        files_.putFolder(name);
        links_.insert(name);
    }
    void refuseProtection() { refusedProtection_ = true; }
    // "" refuses moving the folder itself aside (a handle held on it).
    void refuseRemoval(const std::string& name) { refusedRemoval_.insert(name); }

    // Inspection.
    bool madeProtected() const { return created_; }
    const std::set<std::string>& foreign() const { return foreign_; }
    // What was moved aside whole, with what it held: never entered.
    const std::vector<std::string>& putAside() const { return putAside_; }
    const std::map<std::string, Bytes>& asideFiles() const { return asideFiles_; }
    // Every call that would have looked through a link.
    const std::vector<std::string>& followed() const { return followed_; }

private:
    std::string inside(const std::string& path) const;
    bool throughLink(const std::string& name);

    MemoryFileSystem& files_;
    EntryKind root_ = EntryKind::Missing;
    bool created_ = false;
    bool refusedProtection_ = false;
    std::set<std::string> foreign_, links_, refusedRemoval_;
    std::vector<std::string> putAside_, followed_;
    std::map<std::string, Bytes> asideFiles_;  // whole paths
    std::set<std::string> asideForeign_;
};

// Where the machine package leaves the administrator's verifier.
class FakeSetupValue final : public SetupVerifierValue {
public:
    bool present = false;
    std::string line;
    std::string kept;  // where only the service writes
    bool read(std::string& out) override {
        out = present && !line.empty() ? line : kept;
        return present || !kept.empty();
    }
    void keep(const std::string& text) override {
        kept = text;
        present = false;
    }
    void remove() override {
        present = false;
        kept.clear();
    }
    std::string name() const override { return "Setup\\PasswordVerifier"; }
};

}  // namespace ventrix::testing
