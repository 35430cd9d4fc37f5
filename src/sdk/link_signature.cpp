#include "sdk/link_signature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <mutex>
#include <optional>

#include "plovendale/sdk/plovendale.h"
#include "sdk/sdk_state.h"
#include "util/text.h"

namespace plovendale {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Key = std::shared_ptr<EVP_PKEY>;

constexpr std::size_t kSignatureBytes = 64;

internal::SdkState::LinkVerification& verification() {
    return internal::sdkState().verification;
}

Key readPublicKey(const std::string& pem) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), KeyFree());
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) return nullptr;
    return key;
}

// base64url as links carry it: "-" and "_" in place of "+" and "/", padding optional.
std::optional<Bytes> base64URLDecode(std::string text) {
    if (text.find_first_of("+/") != std::string::npos) return std::nullopt;
    for (char& c : text) {
        if (c == '-') c = '+';
        if (c == '_') c = '/';
    }
    while (text.size() % 4 != 0) text += '=';
    return base64Decode(text);
}

}  // namespace

bool Plovendale::setLinkVerificationKey(const std::string& pem) {
    try {
        Key key = pem.empty() || pem.size() > 64 * 1024 ? nullptr : readPublicKey(pem);
        std::lock_guard lock(verification().mutex);
        verification().required = !pem.empty();
        verification().key = std::move(key);
        return pem.empty() || verification().key != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

std::string internal::linkSignedMessage(const std::string& appKey, const std::string& payload,
                                        const std::string& expiry) {
    std::string message;
    for (const std::string* field : {&appKey, &payload, &expiry}) {
        message += std::to_string(field->size()) + ':';
        message += *field;
        message += ',';
    }
    return message;
}

internal::LinkSignature internal::checkLinkSignature(const std::string& appKey,
                                                     const std::string& payload,
                                                     const std::string& expiry,
                                                     const std::string& signature) {
    Key key;
    {
        std::lock_guard lock(verification().mutex);
        if (!verification().required) return LinkSignature::NotChecked;
        key = verification().key;
    }
    const auto bytes = base64URLDecode(signature);
    if (!key || !bytes || bytes->size() != kSignatureBytes) return LinkSignature::Invalid;
    // The key binds a link to one application and the expiry to a time: a signature over "d"
    // alone would open every app that trusts the same service key, for ever.
    const std::string message = linkSignedMessage(appKey, payload, expiry);
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    // Ed25519 signs the message itself, so no digest is named.
    const bool valid =
        context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), bytes->data(), bytes->size(),
                         reinterpret_cast<const unsigned char*>(message.data()),
                         message.size()) == 1;
    return valid ? LinkSignature::Valid : LinkSignature::Invalid;
}

}  // namespace plovendale
