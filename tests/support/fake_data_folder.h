// The service's data folder over a MemoryFileSystem, with what Windows adds:
// owners, links (junctions, symbolic links) and refusals. The folder's
// entries are the memory file system's names, so the policy file's saves
// meet whatever is planted there.
#pragma once

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
    bool makeOurs(const std::string& path) override;
    bool list(const std::string& folder, std::vector<std::string>& names) override;
    bool remove(const std::string& path) override;
    std::string lastErrorText() override { return "Access is denied."; }

    // Set-up; names are inside the folder ("" is the folder itself).
    void plantRoot(EntryKind kind = EntryKind::Folder) {
        root_ = kind;
        foreign_.insert("");
    }
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
    void refuseOwnership(const std::string& name) { refusedOwner_.insert(name); }
    void refuseRemoval(const std::string& name) { refusedRemoval_.insert(name); }

    // Inspection.
    bool madeProtected() const { return created_; }
    const std::set<std::string>& foreign() const { return foreign_; }
    const std::vector<std::string>& madeOurs() const { return madeOurs_; }
    // Every call that would have looked through a link.
    const std::vector<std::string>& followed() const { return followed_; }

private:
    std::string inside(const std::string& path) const;
    bool throughLink(const std::string& name);

    MemoryFileSystem& files_;
    EntryKind root_ = EntryKind::Missing;
    bool created_ = false;
    std::set<std::string> foreign_, links_, refusedOwner_, refusedRemoval_;
    std::vector<std::string> madeOurs_, followed_;
};

// Where the machine package leaves the administrator's verifier.
class FakeSetupValue final : public SetupVerifierValue {
public:
    bool present = false;
    std::string line;
    bool read(std::string& out) override {
        if (present) out = line;
        return present;
    }
    void remove() override { present = false; }
    std::string name() const override { return "Setup\\PasswordVerifier"; }
};

}  // namespace ventrix::testing
