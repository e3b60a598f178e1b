// The configuration and database pool pages: forms over configuration keys and the updates
// that store, save and apply them.
#include "web/app/web_pages_system.h"

#include "core/str_utils.h"
#include "resources/resource_pool.h"
#include "web/app/web_app.h"
#include "web/app/web_form.h"

namespace tovenmarsh::web {

namespace {

struct TConfigField {
  const char* caption;
  const char* key;
  bool checkbox;
  int width;
};

constexpr TConfigField kConfigFields[] = {
    {"Web server", "WebServer", false, 50},
    {"Relay server", "RelayServer", false, 50},
    {"Relay retries", "RelayRetries", false, 10},
    {"Relay delay", "RelayMin", false, 10},
    {"Maillist max depth", "MaillistMaxDepth", false, 10},
    {"Max connections", "MaxTCPCon", false, 10},
    {"Session timeout", "SessionTimeout", false, 10},
    {"Security on", "SecurityOn", true, 10},
    {"User level", "UserLevel", false, 2},
    {"Admin level", "AdminLevel", false, 2},
};

struct TPoolField {
  const char* name;  // caption prefix
  const char* key;   // key prefix
};

constexpr TPoolField kPoolFields[] = {
    {"Account", "Account"},          {"Alias", "Alias"},
    {"Company", "Company"},          {"Domain", "Domain"},
    {"Popmail", "ExtAccount"},       {"Popmailbox", "ExtMailbox"},
    {"Mailbox", "Mailbox"},          {"Maillist", "Maillist"},
    {"Document", "Document"},
};

// A configuration value as one line of the configuration file.
std::string OneLine(const std::string& value) {
  std::string line;
  for (char c : value) {
    if (static_cast<unsigned char>(c) >= 32 && c != 127) line += c;
  }
  return line;
}

bool Cancelled(THTTPSession& session) {
  if (FormValue(session, "Perform") != "Cancel") return false;
  session.RedirectURL = SiteRootURL(session);
  return true;
}

void AddButtons(TWebForm& form) {
  form.AddButton("Perform", "OK", "");
  form.AddButton("Perform", "Cancel", "");
}

// The size a pool will take from the submitted text: the current size when the text is no
// number (or 0), clamped as the pool clamps it.
int SubmittedSize(core::TSystemParameters& parameters, const std::string& text,
                  const std::string& key) {
  const int size = core::TextToInt(text);
  return size != 0 ? size : parameters.GetInt(key);
}

}  // namespace

void ConfigFormPage(THTTPSession& session) {
  core::TSystemParameters& parameters = AppParameters();
  TWebForm form;
  form.ActionURL = NewURLLink(session, {}, {}, true);
  for (const TConfigField& field : kConfigFields) {
    if (field.checkbox) {
      form.AddField(field.caption, parameters.GetBool(field.key) ? "True" : "False", wkCheckbox,
                    field.width);
    } else {
      form.AddField(field.caption, parameters.GetString(field.key), wkTextInput, field.width);
    }
  }
  AddButtons(form);
  ReplaceInBody(session, "#content", form.GetHTML());
}

void ConfigUpdatePage(THTTPSession& session) {
  if (Cancelled(session)) return;
  core::TSystemParameters& parameters = AppParameters();
  for (const TConfigField& field : kConfigFields) {
    const std::string value = FormValue(session, field.caption);
    if (field.checkbox) {
      parameters.SetBool(field.key, core::TextToBool(value));
    } else {
      parameters.SetString(field.key, OneLine(value));
    }
  }
  parameters.Save();
  RegisterProtectedAreas();
  session.RedirectURL = SiteRootURL(session);
}

void PoolFormPage(THTTPSession& session) {
  core::TSystemParameters& parameters = AppParameters();
  TWebForm form;
  form.ActionURL = NewURLLink(session, {}, {}, true);
  for (const TPoolField& pool : kPoolFields) {
    for (const char* bound : {"Min", "Max"}) {
      const std::string caption = std::string(pool.name) + " Pool " + bound;
      const std::string key = std::string(pool.key) + "Pool" + bound;
      form.AddField(caption, parameters.GetString(key), wkTextInput, 10);
    }
  }
  AddButtons(form);
  ReplaceInBody(session, "#content", form.GetHTML());
}

void PoolUpdatePage(THTTPSession& session) {
  if (Cancelled(session)) return;
  core::TSystemParameters& parameters = AppParameters();
  for (const TPoolField& pool : kPoolFields) {
    const std::string caption = std::string(pool.name) + " Pool ";
    const std::string key = std::string(pool.key) + "Pool";
    const int max = resources::ClampPoolMax(
        SubmittedSize(parameters, FormValue(session, caption + "Max"), key + "Max"));
    const int min = resources::ClampPoolMin(
        SubmittedSize(parameters, FormValue(session, caption + "Min"), key + "Min"), max);
    parameters.SetString(key + "Min", core::IntToText(min));
    parameters.SetString(key + "Max", core::IntToText(max));
  }
  parameters.Save();
  session.RedirectURL = SiteRootURL(session);
}

}  // namespace tovenmarsh::web
