#pragma once

#include <string>

namespace plovendale::test {

/// A fresh Ed25519 key pair in PEM text (PKCS#8 private key, SubjectPublicKeyInfo public key).
struct Ed25519Keys {
    std::string privatePEM;
    std::string publicPEM;
};
Ed25519Keys makeEd25519Keys();

}  // namespace plovendale::test
