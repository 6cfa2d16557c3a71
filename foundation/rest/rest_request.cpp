#include "foundation/rest/rest_request.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/config/global_config.h"
#include "foundation/xml/bounded_xml.h"
#include "foundation/xml/xml_document.h"
#include "platform/http/http.h"
#include "platform/text/utf.h"

namespace quol {
namespace {

std::mutex g_ticket_mutex;
SignInTicket g_ticket;

constexpr int kMaxLifetimeMinutes = 10080;
constexpr int kMinLifetimeMinutes = 5;

// Seconds since 2008-01-01 00:00:00 UTC, as an unsigned 32-bit count.
std::uint32_t ServiceSeconds(std::uint64_t file_time) {
  constexpr std::uint64_t k2008 = 128436768000000000ull;  // 2008-01-01 as file time
  if (file_time < k2008) return 0;
  return static_cast<std::uint32_t>((file_time - k2008) / 10000000ull);
}

// Leading decimal digits; none gives 0. Large values saturate.
int LeadingNumber(const std::string& text) {
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > 1000000000LL) break;
  }
  return static_cast<int>(value);
}

// The elements at steps[at..] below `node`, in document order.
std::size_t VisitPath(pugi::xml_node node, const std::vector<std::string>& steps, std::size_t at,
                      const std::function<void(pugi::xml_node)>& visit) {
  if (at == steps.size()) {
    visit(node);
    return 1;
  }
  std::size_t count = 0;
  for (pugi::xml_node child : node.children(steps[at].c_str())) {
    count += VisitPath(child, steps, at + 1, visit);
  }
  return count;
}

}  // namespace

struct RestElement::Node {
  pugi::xml_node xml;
};

std::string RestElement::Text(const std::string& name) const {
  return XmlElementText(node_.xml.child(name.c_str()));
}

std::string RestElement::Attribute(const std::string& name) const {
  return node_.xml.attribute(name.c_str()).value();
}

bool RestElement::Has(const std::string& name) const {
  return static_cast<bool>(node_.xml.child(name.c_str()));
}

std::size_t RestElement::ForEachElement(const std::string& path,
                                        const RestElementVisitor& visit) const {
  std::vector<std::string> steps;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    steps.push_back(path.substr(start, slash == std::string::npos ? slash : slash - start));
    if (steps.back().empty()) return 0;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return VisitPath(node_.xml, steps, 0, [&](pugi::xml_node found) {
    const Node node{found};
    visit(RestElement(node));
  });
}

CRestRequest::CRestRequest(std::string base_url) : base_url_(std::move(base_url)), url_(base_url_) {}

void CRestRequest::Reset() {
  url_ = base_url_;
  has_answer_ = false;
  document_.reset();
}

std::string CRestRequest::EscapeQueryValue(const std::string& value) {
  std::string out;
  out.reserve(value.size() * 3);
  for (unsigned char c : value) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02x", c);
      out += escaped;
    }
  }
  return out;
}

void CRestRequest::AddParam(const std::string& name, const std::string& value) {
  if (value.empty()) return;
  url_ += url_.find('?') == std::string::npos ? "?" : "&";
  url_ += name + "=" + EscapeQueryValue(value);
}

void CRestRequest::AddDateParam(const std::string& name, const platform::CalendarTime& date) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
  AddParam(name, text);
}

HRESULT CRestRequest::StartAnswer() {
  has_answer_ = false;
  document_ = CQuolSettingsManagerBase::CreateXmlDocument();
  if (!document_) {
    LogError("Failed REST, no DOM");
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CRestRequest::ReadAnswer(const std::string& body) {
  HRESULT hr = StartAnswer();
  if (Failed(hr)) return hr;
  return TakeAnswer(&body);
}

HRESULT CRestRequest::Call() {
  HRESULT hr = StartAnswer();
  if (Failed(hr)) return hr;
  std::string body;
  std::string error;
  platform::HttpOptions options;
  options.stop = stop_;
  // The base address passed the URL policy when the configuration was read;
  // a redirect must pass it too, or the service's answer could come from
  // anywhere.
  options.allow_redirect = [](const std::string& target) { return IsUrlSafe(target); };
  hr = platform::HttpFetchDocument(url_, options, &body, &error);
  if (Failed(hr)) {
    LogError("REST failed: %x", static_cast<unsigned>(hr));
    if (hr == E_ABORT) return E_ABORT;
    return TakeAnswer(nullptr);
  }
  return TakeAnswer(&body);
}

HRESULT CRestRequest::TakeAnswer(const std::string* body) {
  if (body != nullptr) {
    // Bounded nesting: a deep answer is refused here, before anything walks it.
    std::string reason;
    if (Failed(ParseBoundedXml(*body, &document_->xml, &reason))) {
      LogError("REST response not valid xml: %s", reason.c_str());
      return E_FAIL;
    }
  }
  pugi::xml_node root = document_->xml.document_element();
  if (!root) {
    LogError("Not xml");
    return E_FAIL;
  }
  if (std::string(root.name()) != "quol") {
    LogError("No <quol>");
    return E_FAIL;
  }
  has_answer_ = true;
  if (!platform::EqualsIgnoreCase(GetChildValue("success"), "true")) {
    LogError("Call failed %s (%s).", GetChildValue("error").c_str(),
             GetChildValue("errorCode").c_str());
    return E_REST_CALL_FAILED;
  }
  return S_OK;
}

std::string CRestRequest::GetChildValue(const std::string& path) const {
  if (!has_answer_) return {};
  try {
    pugi::xml_node node = document_->xml.document_element().select_node(path.c_str()).node();
    return XmlElementText(node);
  } catch (const pugi::xpath_exception&) {
    return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
}

bool CRestRequest::HasChild(const std::string& name) const {
  if (!has_answer_) return false;
  const RestElement::Node root{document_->xml.document_element()};
  return RestElement(root).Has(name);
}

std::size_t CRestRequest::ForEachElement(const std::string& path,
                                         const RestElementVisitor& visit) const {
  if (!has_answer_) return 0;
  const RestElement::Node root{document_->xml.document_element()};
  return RestElement(root).ForEachElement(path, visit);
}

SignInTicket CurrentTicket() {
  std::lock_guard lock(g_ticket_mutex);
  return g_ticket;
}

void ResetTicketForTesting() {
  std::lock_guard lock(g_ticket_mutex);
  g_ticket = SignInTicket();
}

HRESULT SignIn(CRestRequest& request, const std::string& user_name, const std::string& password,
               bool force, CSuiteSettings& settings) {
  if (platform::Utf8ToUtf16(user_name).size() < 3 || password.empty()) return E_INVALIDARG;

  const std::uint64_t now = platform::ToFileTime(platform::Now());
  if (!force) {
    SignInTicket ticket = CurrentTicket();
    if (ticket.signed_in_at != 0) {
      const std::uint32_t recorded = ServiceSeconds(ticket.signed_in_at);
      const std::uint32_t current = ServiceSeconds(now);
      if (recorded < current &&
          current - recorded < static_cast<std::uint32_t>(ticket.lifetime_minutes) * 60u) {
        return S_FALSE;
      }
    }
  }

  request.Reset();
  request.AddParam("username", user_name);
  request.AddParam("password", password);
  request.AddParam("apiKey", kRestApiKey);
  HRESULT hr = request.Call();
  if (hr == E_REST_CALL_FAILED) {
    return request.GetChildValue("errorCode") == "2" ? E_REST_SIGNIN_REFUSED : E_REST_CALL_FAILED;
  }
  if (Failed(hr)) return hr;

  const std::string account = request.GetChildValue("account");
  {
    std::lock_guard lock(g_ticket_mutex);
    g_ticket.account_id = account;
    g_ticket.ticket = request.GetChildValue("auth");
    const std::string ttl = request.GetChildValue("ttlMinutes");
    if (!ttl.empty()) {
      int minutes = LeadingNumber(ttl);
      if (minutes > kMaxLifetimeMinutes) minutes = kMaxLifetimeMinutes;
      if (minutes < kMinLifetimeMinutes) minutes = kMinLifetimeMinutes;
      g_ticket.lifetime_minutes = minutes;
    }
    g_ticket.signed_in_at = now;
  }
  settings.SetAccountId(account);
  LogInfo("Auth OK");
  return S_OK;
}

int CheckCredentials(const std::string& auth_service_url, const std::string& user_name,
                     const std::string& password, CSuiteSettings& settings) {
  CRestRequest request(auth_service_url);
  HRESULT hr = SignIn(request, user_name, password, true, settings);
  if (Succeeded(hr)) return kCredentialsAccepted;
  if (hr == E_REST_SIGNIN_REFUSED) return kCredentialsWrong;
  return kCredentialsError;
}

}  // namespace quol
