#include "OrvaneCore/protocol/ControlEvent.h"

#include <algorithm>
#include <tuple>
#include <type_traits>
#include <utility>

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"

namespace orvane {

namespace {

// clang-format off
constexpr std::array<std::string_view, kEventTypeCount> kEventTypeNames = {
    "mouseMoved", "mouseDown", "mouseUp", "mouseDragged", "mouseClicked", "doubleClick", "middleClick", "scrolled",
    "keyEvent", "typeText", "volumeUp", "volumeDown", "mute", "brightnessUp", "brightnessDown", "appSwitchGesture",
    "resizeWindow", "moveWindow", "minimizeWindow", "zoomWindow", "closeWindow", "titleBarZoom", "toggleFullScreen",
    "enlargeWindow", "shrinkWindow", "requestWindowList", "switchToWindow", "setVideoQuality", "padScreenInfo",
    "launchApp", "searchApps", "textFieldFocused", "windowList", "appSuggestions", "screenInfo", "windowFocused",
    "localControlActive", "captureStalled", "peerVersion",
};
// clang-format on
constexpr std::array<std::string_view, 3> kMouseButtonNames = {"left", "right", "middle"};
constexpr std::array<std::string_view, 4> kModifierKeyNames = {"cmd", "shift", "alt", "ctrl"};
constexpr std::array<std::string_view, 2> kVideoQualityNames = {"high", "low"};

// Names sorted for a binary search: the type lookup runs on every message.
using NamedType = std::pair<std::string_view, EventType>;
constexpr std::array<NamedType, kEventTypeCount> kTypesByName = [] {
  std::array<NamedType, kEventTypeCount> table{};
  for (std::size_t i = 0; i < kEventTypeCount; ++i) table[i] = {kEventTypeNames[i], static_cast<EventType>(i)};
  std::sort(table.begin(), table.end(), [](const NamedType& a, const NamedType& b) { return a.first < b.first; });
  return table;
}();

template <typename E, std::size_t N>
std::optional<E> lookup(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

// ---- One field table per case: key and member, in encoding order. --------
// Both directions of the codec are generated from these, so a key or its
// position is written down exactly once.

template <typename C, typename T>
struct Field {
  std::string_view key;
  T C::*member;
};
template <typename C, typename T>
constexpr Field<C, T> field(std::string_view key, T C::*member) {
  return {key, member};
}

template <typename C>
constexpr auto fieldsOf() {
  static_assert(std::is_empty_v<C>, "a case with a payload needs its field table");
  return std::tuple<>{};
}
template <typename C>
constexpr auto xy() {
  return std::tuple{field("x", &C::x), field("y", &C::y)};
}
template <typename C>
constexpr auto pointerWithButton() {
  return std::tuple{field("button", &C::button), field("x", &C::x), field("y", &C::y)};
}
template <typename C>
constexpr auto widthHeight() {
  return std::tuple{field("width", &C::width), field("height", &C::height)};
}
template <typename C>
constexpr auto textOnly() {
  return std::tuple{field("text", &C::text)};
}
template <typename C>
constexpr auto activeOnly() {
  return std::tuple{field("active", &C::active)};
}

using namespace events;
// clang-format off
template <> constexpr auto fieldsOf<MouseMoved>() { return xy<MouseMoved>(); }
template <> constexpr auto fieldsOf<MouseDown>() { return pointerWithButton<MouseDown>(); }
template <> constexpr auto fieldsOf<MouseUp>() { return pointerWithButton<MouseUp>(); }
template <> constexpr auto fieldsOf<MouseDragged>() { return pointerWithButton<MouseDragged>(); }
template <> constexpr auto fieldsOf<MouseClicked>() { return pointerWithButton<MouseClicked>(); }
template <> constexpr auto fieldsOf<DoubleClick>() { return pointerWithButton<DoubleClick>(); }
template <> constexpr auto fieldsOf<MiddleClick>() { return xy<MiddleClick>(); }  // no button
template <> constexpr auto fieldsOf<Scrolled>() {
  return std::tuple{field("deltaX", &Scrolled::deltaX), field("deltaY", &Scrolled::deltaY)};
}
template <> constexpr auto fieldsOf<KeyEvent>() {
  return std::tuple{field("keyCode", &KeyEvent::keyCode), field("modifiers", &KeyEvent::modifiers),
                    field("isDown", &KeyEvent::isDown)};
}
template <> constexpr auto fieldsOf<TypeText>() { return textOnly<TypeText>(); }
template <> constexpr auto fieldsOf<ResizeWindow>() { return widthHeight<ResizeWindow>(); }
template <> constexpr auto fieldsOf<MoveWindow>() { return xy<MoveWindow>(); }
template <> constexpr auto fieldsOf<SwitchToWindow>() {
  return std::tuple{field("windowID", &SwitchToWindow::windowID)};  // a string even when numeric
}
template <> constexpr auto fieldsOf<SetVideoQuality>() {
  return std::tuple{field("quality", &SetVideoQuality::quality)};
}
template <> constexpr auto fieldsOf<PadScreenInfo>() { return widthHeight<PadScreenInfo>(); }
template <> constexpr auto fieldsOf<LaunchApp>() { return textOnly<LaunchApp>(); }
template <> constexpr auto fieldsOf<SearchApps>() { return textOnly<SearchApps>(); }
template <> constexpr auto fieldsOf<TextFieldFocused>() {
  return std::tuple{field("focused", &TextFieldFocused::focused)};
}
template <> constexpr auto fieldsOf<WindowList>() { return std::tuple{field("windows", &WindowList::windows)}; }
template <> constexpr auto fieldsOf<AppSuggestions>() {
  return std::tuple{field("text", &AppSuggestions::text), field("names", &AppSuggestions::names)};
}
template <> constexpr auto fieldsOf<ScreenInfo>() {
  return std::tuple{field("width", &ScreenInfo::width), field("height", &ScreenInfo::height),
                    field("scaleFactor", &ScreenInfo::scaleFactor)};
}
template <> constexpr auto fieldsOf<WindowFocused>() {
  return std::tuple{field("title", &WindowFocused::title), field("appName", &WindowFocused::appName)};
}
template <> constexpr auto fieldsOf<LocalControlActive>() { return activeOnly<LocalControlActive>(); }
template <> constexpr auto fieldsOf<CaptureStalled>() { return activeOnly<CaptureStalled>(); }  // shares "active"
template <> constexpr auto fieldsOf<PeerVersion>() {
  return std::tuple{field("build", &PeerVersion::build), field("marketing", &PeerVersion::marketing)};
}
// clang-format on

// ---- Reading one member by its C++ type. ----------------------------------

template <typename T>
bool assign(std::optional<T>&& value, T& out) {
  if (!value) return false;
  out = std::move(*value);
  return true;
}
bool readMember(JsonObjectReader& r, std::string_view key, double& out) { return assign(r.requireDouble(key), out); }
bool readMember(JsonObjectReader& r, std::string_view key, std::int64_t& out) { return assign(r.requireInt(key), out); }
bool readMember(JsonObjectReader& r, std::string_view key, bool& out) { return assign(r.requireBool(key), out); }
bool readMember(JsonObjectReader& r, std::string_view key, std::string& out) {
  const std::string* s = r.requireStringRef(key);
  if (s != nullptr) out = *s;
  return s != nullptr;
}
bool readMember(JsonObjectReader& r, std::string_view key, MouseButton& out) {
  return assign(r.requireEnum(key, &mouseButtonFromString), out);
}
bool readMember(JsonObjectReader& r, std::string_view key, VideoQuality& out) {
  return assign(r.requireEnum(key, &videoQualityFromString), out);
}

// Arrays: every element must convert, or the whole message is rejected.
template <typename T, typename Convert>
bool readArray(JsonObjectReader& r, std::string_view key, std::vector<T>& out, Convert convert) {
  const JsonValue::Array* array = r.requireArray(key);
  if (array == nullptr) return false;
  out.reserve(array->size());
  for (const JsonValue& element : *array) {
    if (!convert(element, out)) {
      r.fail(concatText({"bad element in \"", key, "\""}));
      return false;
    }
  }
  return true;
}
bool readMember(JsonObjectReader& r, std::string_view key, std::vector<ModifierKey>& out) {
  return readArray(r, key, out, [](const JsonValue& v, std::vector<ModifierKey>& keys) {
    const std::string* s = v.asString();
    const auto modifier = s ? modifierKeyFromString(*s) : std::nullopt;
    if (modifier) keys.push_back(*modifier);
    return modifier.has_value();
  });
}
bool readMember(JsonObjectReader& r, std::string_view key, std::vector<std::string>& out) {
  return readArray(r, key, out, [](const JsonValue& v, std::vector<std::string>& names) {
    const std::string* s = v.asString();
    if (s) names.push_back(*s);
    return s != nullptr;
  });
}
bool readMember(JsonObjectReader& r, std::string_view key, std::vector<WindowInfo>& out) {
  return readArray(r, key, out, [&r, key](const JsonValue& v, std::vector<WindowInfo>& windows) {
    DecodeResult<WindowInfo> window = readWindowInfo(v);
    if (!window) {
      r.fail(concatText({"bad element in \"", key, "\": ", window.error()}));  // keeps the detail
      return false;
    }
    windows.push_back(std::move(window).value());
    return true;
  });
}

// ---- Writing one member value by its C++ type. ----------------------------

void writeValue(JsonWriter& w, double v) { w.number(v); }
void writeValue(JsonWriter& w, std::int64_t v) { w.integer(v); }
void writeValue(JsonWriter& w, bool v) { w.boolean(v); }
void writeValue(JsonWriter& w, const std::string& v) { w.string(v); }
void writeValue(JsonWriter& w, MouseButton v) { w.string(toString(v)); }
void writeValue(JsonWriter& w, VideoQuality v) { w.string(toString(v)); }
void writeValue(JsonWriter& w, ModifierKey v) { w.string(toString(v)); }
void writeValue(JsonWriter& w, const WindowInfo& v) { writeWindowInfo(w, v); }
template <typename T>
void writeValue(JsonWriter& w, const std::vector<T>& values) {
  w.beginArray();
  for (const T& v : values) writeValue(w, v);
  w.endArray();
}

// ---- Per-case codec and the dispatch table. -------------------------------

template <typename C>
DecodeResult<ControlEvent> decodeCase(JsonObjectReader& reader) {
  C payload{};
  // Stops at the first failing member; the reader keeps its reason.
  std::apply([&](const auto&... f) { (void)(readMember(reader, f.key, payload.*f.member) && ...); }, fieldsOf<C>());
  if (!reader) return reader.failure<ControlEvent>();
  return ControlEvent(std::move(payload));
}

using CaseDecoder = DecodeResult<ControlEvent> (*)(JsonObjectReader&);
template <std::size_t... I>
constexpr std::array<CaseDecoder, sizeof...(I)> makeDecoders(std::index_sequence<I...>) {
  return {&decodeCase<std::variant_alternative_t<I, ControlEvent::Payload>>...};
}
constexpr auto kDecoders = makeDecoders(std::make_index_sequence<kEventTypeCount>{});

}  // namespace

std::string_view toString(EventType type) { return kEventTypeNames[static_cast<std::size_t>(type)]; }
std::string_view toString(MouseButton button) { return kMouseButtonNames[static_cast<std::size_t>(button)]; }
std::string_view toString(ModifierKey key) { return kModifierKeyNames[static_cast<std::size_t>(key)]; }
std::string_view toString(VideoQuality quality) { return kVideoQualityNames[static_cast<std::size_t>(quality)]; }

std::optional<EventType> eventTypeFromString(std::string_view text) {
  const auto it = std::lower_bound(kTypesByName.begin(), kTypesByName.end(), text,
                                   [](const NamedType& entry, std::string_view t) { return entry.first < t; });
  if (it == kTypesByName.end() || it->first != text) return std::nullopt;
  return it->second;
}
std::optional<MouseButton> mouseButtonFromString(std::string_view text) {
  return lookup<MouseButton>(kMouseButtonNames, text);
}
std::optional<ModifierKey> modifierKeyFromString(std::string_view text) {
  return lookup<ModifierKey>(kModifierKeyNames, text);
}
std::optional<VideoQuality> videoQualityFromString(std::string_view text) {
  return lookup<VideoQuality>(kVideoQualityNames, text);
}

const std::array<EventType, kEventTypeCount>& allEventTypes() {
  static constexpr std::array<EventType, kEventTypeCount> kAll = [] {
    std::array<EventType, kEventTypeCount> all{};
    for (std::size_t i = 0; i < kEventTypeCount; ++i) all[i] = static_cast<EventType>(i);
    return all;
  }();
  return kAll;
}

bool ControlEvent::isRelease() const {
  if (std::holds_alternative<events::MouseUp>(payload_)) return true;
  const auto* key = std::get_if<events::KeyEvent>(&payload_);
  return key != nullptr && !key->isDown;
}

std::optional<std::string> encodeControlEvent(const ControlEvent& event) {
  JsonWriter writer;
  writer.beginObject();
  writer.key("type");
  writer.string(toString(event.type()));
  std::visit(
      [&writer](const auto& payload) {
        using C = std::decay_t<decltype(payload)>;
        std::apply([&](const auto&... f) { ((writer.key(f.key), writeValue(writer, payload.*f.member)), ...); },
                   fieldsOf<C>());
      },
      event.payload());
  writer.endObject();
  return std::move(writer).finish();
}

DecodeResult<ControlEvent> decodeControlEvent(std::string_view json) {
  DecodeResult<JsonValue> parsed = parseJsonObject(json);
  if (!parsed) return DecodeResult<ControlEvent>::failure(parsed.error());
  JsonObjectReader reader(*parsed.value().asObject());
  const std::string* typeName = reader.requireStringRef("type");
  if (typeName == nullptr) return reader.failure<ControlEvent>();
  const std::optional<EventType> type = eventTypeFromString(*typeName);
  if (!type) return DecodeResult<ControlEvent>::failure("unknown \"type\"");
  return kDecoders[static_cast<std::size_t>(*type)](reader);
}

}  // namespace orvane
