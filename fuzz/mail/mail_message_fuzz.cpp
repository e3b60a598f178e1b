// Loads arbitrary bytes as a mail message, reads every part and saves it again: loading must
// never crash or raise anything but EMimeError. The same bytes also go through every decoder,
// and through base64 and quoted-printable both ways.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mail/message/iso_header.h"
#include "mail/message/mail_address.h"
#include "mail/message/mail_message.h"
#include "mail/message/mime_codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tovenmarsh;
  const std::string raw(reinterpret_cast<const char*>(data), size);
  try {
    mail::TMailMessage message;
    platform::TStringStream in(raw);
    message.LoadFromStream(in);
    for (int i = 0; i < message.PartCount(); ++i) {
      const mail::TMsgPart& part = message.Part(i);
      if (part.ContentStart() != 0 && part.ContentEnd() > static_cast<int64_t>(raw.size())) std::abort();
    }
    message.GetBodyText();
    message.TopText(3);
    mail::DecodeISOHeader(message.GetHeader(mail::hdrSubject));
    mail::AddressList(message.GetHeader(mail::hdrTo));
    platform::TStringStream out;
    message.SaveToStream(out);
  } catch (const mail::EMimeError&) {
  }
  platform::TStringStream sink;
  mail::UUDecode(raw, sink);
  mail::QPDecode(raw, sink);
  platform::TStringStream b64;
  mail::Base64Encode(raw, b64, mail::kBase64LineLength);
  if (mail::Base64DecodeString(b64.DataString()) != raw) std::abort();
  platform::TStringStream qp, back;
  mail::QPEncode(raw, qp, mail::kQPLineLength);
  mail::QPDecode(qp.DataString(), back);
  if (raw.find_first_of("\r\n") == std::string::npos && back.DataString() != raw) std::abort();
  return 0;
}
