#include "common/wake_up_link.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "plovendale/sdk/constants.h"
#include "util/format.h"
#include "util/text.h"

namespace plovendale::links {

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

std::string LinkSigner::sign(const std::string& appKey, const std::string& payload,
                             const std::string& expiry) const {
    std::string message;
    for (const std::string* field : {&appKey, &payload, &expiry})
        message += std::to_string(field->size()) + ':' + *field + ',';
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        return "";
    }
    return base64Encode(std::string_view(reinterpret_cast<const char*>(signature), length),
                        Base64Alphabet::URLSafe, false);
}

std::string makeWakeUpLink(const std::string& appKey, const std::string& params,
                           const std::string& channel, const std::optional<std::string>& base,
                           const LinkSigner* signer, std::optional<long long> expires) {
    const nlohmann::json payload = {{"pr", params}, {"ch", channel}};
    const std::string json = payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::string d = base64Encode(percentEscape(json));
    std::string link = base ? *base : fillTemplate(BASE_DOMAIN_URL, {"clb-" + appKey}) + "/c";
    link += link.find('?') == std::string::npos ? "?d=" : "&d=";
    link += percentEscape(d);
    const std::string expiry = expires ? std::to_string(*expires) : std::string();
    if (expires) link += "&e=" + expiry;
    if (signer) link += "&s=" + signer->sign(appKey, d, expiry);
    return link;
}

}  // namespace plovendale::links
