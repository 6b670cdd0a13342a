// The Windows data-protection service, user scope: what one account protects
// only that account can read back.
#pragma once

#include "policy/config_file.h"

namespace ventrix {

class DpapiProtector final : public DataProtector {
public:
    bool protect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) override;
    bool unprotect(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) override;
};

}  // namespace ventrix
