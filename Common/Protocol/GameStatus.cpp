#include "Common/Protocol/GameStatus.hpp"

using Coder = payload::Coder<GameStatus::Status>;

const char* toString(GameStatus::Status status) {
  const auto i = static_cast<std::size_t>(status);
  return i < std::size(Coder::names) ? Coder::names[i] : "error";
}

void Coder::read(const Value& v, std::string_view what, GameStatus::Status& out) {
  out = static_cast<GameStatus::Status>(payload::findCase(v, what, names).first);
}

void Coder::write(JsonWriter& w, GameStatus::Status value) { payload::writeEmptyCase(w, toString(value)); }

std::string GameStatus::ProgressInfo::encode() const { return payload::encode(*this); }

GameStatus::ProgressInfo GameStatus::ProgressInfo::decode(std::string_view text) {
  return payload::decode<ProgressInfo>(text, "ProgressInfo");
}

std::optional<GameStatus::ProgressInfo> GameStatus::ProgressInfo::decodeOptional(std::string_view text) {
  rapidjson::Document doc = jsoncoding::parseDocument(text);
  if (doc.IsNull()) return std::nullopt;
  ProgressInfo out;
  payload::Coder<ProgressInfo>::read(doc, "ProgressInfo", out);
  return out;
}

std::string GameStatus::encode() const { return payload::encode(*this); }

GameStatus GameStatus::decode(std::string_view text) { return payload::decode<GameStatus>(text, "GameStatus"); }

std::optional<GameStatus> GameStatus::tryDecode(std::string_view text, std::string* error) {
  return payload::tryDecode<GameStatus>(text, "GameStatus", error);
}
