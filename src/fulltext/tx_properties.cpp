// Writer and bounds-checked reader of the stored properties stream.
#include "fulltext/tx_properties.h"

#include "fulltext/filer.h"

namespace tovenmarsh::fulltext {

void WriteStoredProperties(platform::TStream& stream, const TStoredProperties& p) {
  TFilerWriter writer(stream);
  writer.WriteInteger(kStoredPropertiesVersion);
  writer.WriteInteger(kStoredPropertiesMarker);
  writer.WriteListBegin();
  for (const std::string& name : p.fieldNames) writer.WriteString(name);
  writer.WriteListEnd();
  writer.WriteString(p.indexFieldName);
  writer.WriteInteger(p.minWordLen);
  writer.WriteListBegin();
  for (const std::string& word : p.omitWords) writer.WriteString(word);
  writer.WriteListEnd();
  writer.WriteInteger(p.segmentSize);
  writer.WriteString(p.wordDelims);
  writer.WriteBoolean(p.ansi);
  writer.WriteBoolean(p.pairFlag);
}

std::optional<TStoredProperties> ReadStoredProperties(platform::TStream& stream) {
  TFilerReader reader(stream);
  if (reader.AtEnd()) return std::nullopt;
  TStoredProperties p;
  p.version = reader.ReadInteger();
  reader.ReadInteger();  // the marker 32
  auto readList = [&reader](std::vector<std::string>& list) {
    reader.ReadListBegin();
    while (!reader.EndOfList()) list.push_back(reader.ReadString());
    reader.ReadListEnd();
  };
  readList(p.fieldNames);
  if (p.version == 200) reader.ReadBoolean();  // a flag that old text links stored here
  p.indexFieldName = reader.ReadString();
  p.minWordLen = reader.ReadInteger();
  readList(p.omitWords);
  p.segmentSize = reader.ReadInteger();
  p.wordDelims = reader.ReadString();
  p.ansi = reader.ReadBoolean();
  if (p.version >= 2040) {
    p.pairFlag = reader.ReadBoolean();
    p.hasPairFlag = true;
  }
  return p;
}

}  // namespace tovenmarsh::fulltext
