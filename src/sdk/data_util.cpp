#include "sdk/data_util.h"

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "util/flo_json_object.h"
#include "util/json_serialization.h"
#include "util/string_utils.h"

namespace plovendale {
namespace {

// The answer and the cached link data are read off the parser's events as they come: a handful of
// fields need no tree of the whole text. What is read is what the tree would hold: the last value
// of a key wins, and only members of the top object (and, for the answer, of its "data" object)
// count.

enum class Field : std::uint8_t { None, Status, Error, Data, ParamsData, Channel, TraceId };

// Whether `name` is `key`; the names read differ in length, so most others cost no compare.
template <std::size_t N>
bool is(const std::string& name, const char (&key)[N]) {
    return name.size() == N - 1 && std::memcmp(name.data(), key, N - 1) == 0;
}

Field topField(const std::string& key, bool linkAtTop) {
    if (linkAtTop) {
        if (is(key, "params_data")) return Field::ParamsData;
        if (is(key, "channel")) return Field::Channel;
        return Field::None;
    }
    if (is(key, "status")) return Field::Status;
    if (is(key, "data")) return Field::Data;
    if (is(key, "error")) return Field::Error;
    return Field::None;
}

Field dataField(const std::string& key) {
    if (is(key, "params_data")) return Field::ParamsData;
    if (is(key, "channel")) return Field::Channel;
    if (is(key, "trace_id")) return Field::TraceId;
    return Field::None;
}

/// Event handler for nlohmann's parser. It keeps no stack of its own, only the depth: every value
/// below the levels it reads is passed over. A handler answer of false stops the parse; it does so
/// for a top-level value that is not an object, which neither reader takes.
class FieldReader final : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit FieldReader(bool linkAtTop) : linkAtTop_(linkAtTop) {}

    std::optional<std::int64_t> status;
    std::optional<std::string> error;
    bool hasData = false;  // the answer's "data" is an object
    std::optional<std::string> paramsData;
    std::optional<std::string> channel;
    std::optional<std::string> traceId;

    bool null() override { return other(); }
    bool boolean(bool value) override { return number(JSONNumber(value)); }
    bool number_integer(number_integer_t value) override { return number(JSONNumber(value)); }
    bool number_unsigned(number_unsigned_t value) override { return number(JSONNumber(value)); }
    bool number_float(number_float_t value, const string_t& /*text*/) override {
        return number(JSONNumber(value));
    }
    bool string(string_t& value) override {
        if (depth_ == 0) return false;
        const Field field = take();
        if (auto* slot = textSlot(field))
            *slot = std::move(value);
        else
            clear(field);
        return true;
    }
    bool binary(binary_t& /*value*/) override { return other(); }  // never in JSON text

    bool start_object(std::size_t /*count*/) override {
        if (depth_ > 0) {
            const Field field = take();
            if (field == Field::Data) {
                // A later "data" replaces an earlier one whole.
                hasData = inData_ = true;
                paramsData.reset();
                channel.reset();
                traceId.reset();
            } else {
                clear(field);
            }
        }
        ++depth_;
        return true;
    }
    bool key(string_t& name) override {
        pending_ = depth_ == 1              ? topField(name, linkAtTop_)
                   : depth_ == 2 && inData_ ? dataField(name)
                                            : Field::None;
        return true;
    }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t /*count*/) override {
        if (!other()) return false;
        ++depth_;
        return true;
    }
    bool end_array() override { return leave(); }

    bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                     const nlohmann::detail::exception& /*error*/) override {
        return false;
    }

  private:
    // The field the value now arriving is for; None below the levels read and in arrays.
    Field take() { return std::exchange(pending_, Field::None); }

    std::optional<std::string>* textSlot(Field field) {
        switch (field) {
            case Field::Error:
                return &error;
            case Field::ParamsData:
                return &paramsData;
            case Field::Channel:
                return &channel;
            case Field::TraceId:
                return &traceId;
            default:
                return nullptr;
        }
    }

    // A value that is not the kind its field wants takes the place of an earlier one all the same.
    void clear(Field field) {
        if (field == Field::Status) status.reset();
        if (field == Field::Data) hasData = false;
        if (auto* slot = textSlot(field)) slot->reset();
    }

    bool number(const JSONNumber& value) {
        if (depth_ == 0) return false;
        const Field field = take();
        if (field == Field::Status)
            status = value.longLongValue();
        else
            clear(field);
        return true;
    }

    bool other() {
        if (depth_ == 0) return false;
        clear(take());
        return true;
    }

    bool leave() {
        if (--depth_ <= 1) inData_ = false;
        return true;
    }

    const bool linkAtTop_;
    std::size_t depth_ = 0;  // containers open
    Field pending_ = Field::None;
    bool inData_ = false;  // the container open at depth 2 is the answer's "data"
};

/// Reads `text` with `reader`: whether it is a JSON object, as JSONObjectWithData takes text (a
/// NUL byte refused, UTF-8 checked, nothing after the value).
bool readObject(const std::string& text, FieldReader& reader) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    // The parser keeps its own stack on the heap and the reader none, so depth costs no call
    // stack.
    return parseJSONEvents(text, reader);
}

/// `value`, or "" when it is missing, empty or a lone space (as StringUtils::isNullOrEmpty has it).
std::string nonEmpty(std::optional<std::string>& value) {
    return StringUtils::isNullOrEmpty(value) ? std::string() : std::move(*value);
}

}  // namespace

std::optional<ResData> DataUtil::parseResData(const std::optional<Bytes>& body) {
    if (!body) return std::nullopt;
    FieldReader reader(/*linkAtTop=*/false);
    const std::string text(reinterpret_cast<const char*>(body->data()), body->size());
    if (!readObject(text, reader) || !reader.status) return std::nullopt;

    ResData result;
    result.code = *reader.status;
    result.traceId = "";
    if (reader.hasData) {
        result.data = AppData{nonEmpty(reader.paramsData), nonEmpty(reader.channel)};
        if (reader.traceId) result.traceId = std::move(*reader.traceId);
    }
    result.msg = std::move(reader.error);
    return result;
}

std::string DataUtil::appData2Json(const std::optional<AppData>& appData) {
    if (!appData) return "";
    // In key order, as the general writer orders an object's members.
    JSONSerialization::StringMember members[2];
    std::size_t count = 0;
    if (appData->channel) members[count++] = {"channel", *appData->channel};
    if (appData->paramsData) members[count++] = {"params_data", *appData->paramsData};
    auto bytes = JSONSerialization::dataWithStringMembers({members, count});
    return bytes ? toString(*bytes) : std::string();
}

std::optional<AppData> DataUtil::parseAppData(const std::optional<std::string>& text) {
    if (StringUtils::isNullOrEmpty(text)) return std::nullopt;
    FieldReader reader(/*linkAtTop=*/true);
    if (!readObject(*text, reader)) return AppData{"", ""};
    return AppData{nonEmpty(reader.paramsData), nonEmpty(reader.channel)};
}

}  // namespace plovendale
