#include "common/wake_up_link.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "plovendale/sdk/constants.h"
#include "util/format.h"

namespace plovendale::links {
namespace {

std::string base64(const std::string& bytes, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        unsigned n = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            n = (n << 8) | (k < count ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            if (k <= count) {
                out += alphabet[(n >> (18 - 6 * k)) & 63];
            } else if (pad) {
                out += '=';
            }
        }
    }
    return out;
}

// Escapes every byte but the unreserved characters of RFC 3986.
std::string percentEscape(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out;
}

}  // namespace

std::optional<LinkSigner> LinkSigner::fromPEM(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    if (!bio) return std::nullopt;
    std::shared_ptr<EVP_PKEY> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr),
                                  EVP_PKEY_free);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) return std::nullopt;
    LinkSigner signer;
    signer.key_ = std::move(key);
    return signer;
}

std::optional<LinkSigner> LinkSigner::fromFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return fromPEM(text.str());
}

std::string LinkSigner::sign(const std::string& payload) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(payload.data()),
                       payload.size()) != 1) {
        return "";
    }
    return base64(std::string(reinterpret_cast<const char*>(signature), length),
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", false);
}

std::string makeWakeUpLink(const std::string& appKey, const std::string& params,
                           const std::string& channel, const std::optional<std::string>& base,
                           const LinkSigner* signer) {
    const nlohmann::json payload = {{"pr", params}, {"ch", channel}};
    const std::string json = payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::string d =
        base64(percentEscape(json),
               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", true);
    std::string link = base ? *base : fillTemplate(BASE_DOMAIN_URL, {"clb-" + appKey}) + "/c";
    link += link.find('?') == std::string::npos ? "?d=" : "&d=";
    link += percentEscape(d);
    if (signer) link += "&s=" + signer->sign(d);
    return link;
}

}  // namespace plovendale::links
