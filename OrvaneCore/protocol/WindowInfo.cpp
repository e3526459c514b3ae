#include "OrvaneCore/protocol/WindowInfo.h"

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"
#include "OrvaneCore/protocol/Base64.h"

namespace orvane {

void writeWindowInfo(JsonWriter& writer, const WindowInfo& info) {
  writer.beginObject();
  writer.key("id");
  writer.string(info.id);
  writer.key("appName");
  writer.string(info.appName);
  writer.key("windowTitle");
  writer.string(info.windowTitle);
  if (info.thumbnail) {
    writer.key("thumbnail");
    writer.string(base64Encode(*info.thumbnail));
  }
  writer.endObject();
}

std::string encodeWindowInfo(const WindowInfo& info) {
  JsonWriter writer;
  writeWindowInfo(writer, info);
  return *std::move(writer).finish();  // no doubles, so it cannot fail
}

DecodeResult<WindowInfo> readWindowInfo(const JsonValue& value) {
  const JsonValue::Object* object = value.asObject();
  if (object == nullptr) return DecodeResult<WindowInfo>::failure("window is not an object");
  JsonObjectReader reader(*object);
  WindowInfo info;
  if (auto s = reader.requireString("id")) info.id = std::move(*s);
  if (auto s = reader.requireString("appName")) info.appName = std::move(*s);
  if (auto s = reader.requireString("windowTitle")) info.windowTitle = std::move(*s);
  if (auto s = reader.optionalString("thumbnail")) {
    info.thumbnail = base64Decode(*s);
    if (!info.thumbnail) reader.fail("\"thumbnail\" is not valid Base64");
  }
  if (!reader) return reader.failure<WindowInfo>();
  return info;
}

DecodeResult<WindowInfo> decodeWindowInfo(std::string_view json) {
  DecodeResult<JsonValue> parsed = parseJson(json);
  if (!parsed) return DecodeResult<WindowInfo>::failure(parsed.error());
  return readWindowInfo(parsed.value());
}

}  // namespace orvane
