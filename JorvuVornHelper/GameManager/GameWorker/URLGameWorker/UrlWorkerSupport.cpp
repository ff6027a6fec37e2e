#include "JorvuVornHelper/GameManager/GameWorker/URLGameWorker/UrlWorkerSupport.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace urlsupport {

std::string encodeJSON(const ProgressInfo& info) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("operationType");
  w.Uint(info.operationType);
  w.Key("totalSize");
  w.Uint64(info.totalSize);
  w.Key("currentSize");
  w.Uint64(info.currentSize);
  w.Key("isRetry");
  w.Bool(info.isRetry);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string encodeJSON(const ErrorInfo& info) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("errorCode");
  w.Int(info.errorCode);
  w.Key("errorOperation");
  w.Uint(info.errorOperation);
  w.Key("mainErrorCode");
  w.Uint(info.mainErrorCode);
  w.Key("subErrorCode");
  w.Uint(info.subErrorCode);
  w.Key("errorMessage");
  w.String(info.errorMessage.data(), static_cast<rapidjson::SizeType>(info.errorMessage.size()));
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace urlsupport
