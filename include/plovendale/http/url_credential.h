#pragma once

#include <string>

namespace plovendale {

/// A user name and password for a host. A plain value.
struct URLCredential {
    enum Persistence : unsigned {
        PersistenceNone = 0,
        PersistenceForSession = 1,
        PersistencePermanent = 2
    };

    std::string user;
    std::string password;
    Persistence persistence = PersistenceNone;

    static URLCredential credentialWithUser(std::string user, std::string password,
                                            Persistence persistence) {
        return URLCredential{std::move(user), std::move(password), persistence};
    }
    bool operator==(const URLCredential&) const = default;
};

}  // namespace plovendale
