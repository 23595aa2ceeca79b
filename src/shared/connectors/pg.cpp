#include "shared/connectors/pg.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "shared/connectors/credential.hpp"
#include "shared/errors.hpp"
#include "shared/text/utf8.hpp"

namespace shared::connectors::pg {

namespace {

// Type OIDs of the built-in types converted to JSON values (pg_type.dat).
enum : Oid {
  BOOLOID = 16,
  INT8OID = 20,
  INT2OID = 21,
  INT4OID = 23,
  OIDOID = 26,
  JSONOID = 114,
  FLOAT4OID = 700,
  FLOAT8OID = 701,
  DATEOID = 1082,
  TIMEOID = 1083,
  TIMESTAMPOID = 1114,
  TIMESTAMPTZOID = 1184,
  TIMETZOID = 1266,
  NUMERICOID = 1700,
  JSONBOID = 3802,
  BOOLARRAYOID = 1000,
  INT2ARRAYOID = 1005,
  INT4ARRAYOID = 1007,
  TEXTARRAYOID = 1009,
  VARCHARARRAYOID = 1015,
  INT8ARRAYOID = 1016,
  FLOAT4ARRAYOID = 1021,
  FLOAT8ARRAYOID = 1022,
  NUMERICARRAYOID = 1231,
  TEXTOID = 25,
};

std::string rstrip_ascii(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r' || s.back() == '\t')) s.pop_back();
  return s;
}

void discard_notice(void*, const char*) {}

// The server's message, with its detail line as psql shows it.
DatabaseError result_error(const PGresult* res, PGconn* conn) {
  if (res == nullptr) return DatabaseError(rstrip_ascii(PQerrorMessage(conn)));
  const char* primary = PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY);
  const char* detail = PQresultErrorField(res, PG_DIAG_MESSAGE_DETAIL);
  const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
  std::string msg = primary ? primary : rstrip_ascii(PQresultErrorMessage(res));
  if (msg.empty()) msg = rstrip_ascii(PQerrorMessage(conn));
  if (detail && *detail) msg += std::string("\nDETAIL:  ") + detail;
  return DatabaseError(msg, state ? state : "");
}

std::optional<long long> parse_int(std::string_view t) {
  std::string s(t);
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno == ERANGE) return std::nullopt;
  return v;
}

std::optional<double> parse_double(std::string_view t) {
  std::string s(t);
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0') return std::nullopt;
  return v;
}

// "+02" → "+02:00" at the end of an ISO time, as Python's isoformat writes it.
std::string iso_offset(std::string s) {
  const std::size_t sign = s.find_last_of("+-");
  if (sign == std::string::npos || sign < s.size() - 3 || s.find(':', sign) != std::string::npos) return s;
  if (s.size() - sign == 3) s += ":00";
  return s;
}

Record convert_timestamp(Oid type, std::string_view text) {
  std::string s(text);
  // "infinity" and dates before the common era keep the server's text.
  const bool iso = s.size() >= 19 && s[4] == '-' && s[7] == '-' && s[10] == ' ' && s.find(" BC") == std::string::npos;
  if (!iso) return s;
  s[10] = 'T';
  return type == TIMESTAMPTZOID ? iso_offset(s) : s;
}

Oid element_type(Oid array_type) {
  switch (array_type) {
    case BOOLARRAYOID: return BOOLOID;
    case INT2ARRAYOID: return INT2OID;
    case INT4ARRAYOID: return INT4OID;
    case INT8ARRAYOID: return INT8OID;
    case FLOAT4ARRAYOID: return FLOAT4OID;
    case FLOAT8ARRAYOID: return FLOAT8OID;
    case NUMERICARRAYOID: return NUMERICOID;
    case TEXTARRAYOID:
    case VARCHARARRAYOID: return TEXTOID;
    default: return 0;
  }
}

// A one-dimensional array literal; nullopt for anything else (several
// dimensions, explicit bounds), which is then kept as text.
std::optional<Record> parse_array(Oid elem, std::string_view s) {
  if (s.size() < 2 || s.front() != '{' || s.back() != '}') return std::nullopt;
  Record out = Record::array();
  std::size_t i = 1;
  const std::size_t end = s.size() - 1;
  if (i == end) return out;
  while (i <= end) {
    if (s[i] == '{') return std::nullopt;
    std::string item;
    bool quoted = false;
    if (s[i] == '"') {
      quoted = true;
      ++i;
      while (i < end && s[i] != '"') {
        if (s[i] == '\\' && i + 1 < end) ++i;
        item += s[i++];
      }
      if (i >= end) return std::nullopt;
      ++i;
    } else {
      while (i < end && s[i] != ',') item += s[i++];
    }
    if (!quoted && (item == "NULL" || item == "null")) {
      out.push_back(nullptr);
    } else {
      out.push_back(convert_value(elem, item));
    }
    if (i == end) break;
    if (s[i] != ',') return std::nullopt;
    ++i;
  }
  return out;
}

}  // namespace

PgConn connect(const ConnectParams& p) {
  std::vector<const char*> keys, values;
  const std::string timeout = p.connect_timeout ? std::to_string(*p.connect_timeout) : "";
  const std::string password =
      p.entra_token ? credential::process_credential()->get_token(credential::POSTGRES_SCOPE).token : p.password;
  auto add = [&](const char* k, const std::string& v) {
    if (!v.empty()) {
      keys.push_back(k);
      values.push_back(v.c_str());
    }
  };
  add("host", p.host);
  add("port", p.port);
  add("dbname", p.dbname);
  add("user", p.user);
  add("password", password);
  add("sslmode", p.sslmode);
  add("connect_timeout", timeout);
  static const std::string utf8 = "UTF8";
  add("client_encoding", utf8);
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PgConn conn(PQconnectdbParams(keys.data(), values.data(), 0));
  if (!conn) throw DatabaseError("out of memory opening a PostgreSQL connection");
  if (PQstatus(conn.get()) != CONNECTION_OK) throw DatabaseError(rstrip_ascii(PQerrorMessage(conn.get())));
  PQsetNoticeProcessor(conn.get(), discard_notice, nullptr);
  // Dates are converted from their ISO form; only a server configured
  // otherwise costs the extra statement.
  const char* datestyle = PQparameterStatus(conn.get(), "DateStyle");
  if (datestyle == nullptr || std::strncmp(datestyle, "ISO", 3) != 0) {
    execute(conn.get(), "SET DateStyle TO ISO");
  }
  return conn;
}

std::string translate_placeholders(std::string_view text, std::size_t* count) {
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == 's') {
      out += '$';
      out += std::to_string(++n);
      ++i;
    } else if (next == '%') {
      out += '%';
      ++i;
    } else {
      throw ValueError("unsupported placeholder at offset " + std::to_string(i) +
                       " of the statement (only %s and %% are allowed)");
    }
  }
  if (count) *count = n;
  return out;
}

std::optional<std::string> param_text(const Record& v) {
  switch (v.type()) {
    case Record::value_t::null:
    case Record::value_t::discarded: return std::nullopt;
    case Record::value_t::string: {
      const auto& s = v.get_ref<const std::string&>();
      if (s.find('\0') != std::string::npos) {
        throw ValueError("A string value cannot contain NUL (0x00) characters.");
      }
      return s;
    }
    case Record::value_t::boolean: return v.get<bool>() ? "true" : "false";
    case Record::value_t::number_integer: return std::to_string(v.get<long long>());
    case Record::value_t::number_unsigned: return std::to_string(v.get<unsigned long long>());
    case Record::value_t::number_float: return record::format_number(v.get<double>());
    default: return v.dump(-1, ' ', false, Record::error_handler_t::strict);
  }
}

PgResult execute(PGconn* conn, std::string_view text, const std::vector<Record>& values) {
  std::size_t markers = 0;
  const std::string sql = translate_placeholders(text, &markers);
  if (markers != values.size()) {
    throw ValueError("the statement has " + std::to_string(markers) + " placeholder(s) but " +
                     std::to_string(values.size()) + " value(s) were given");
  }
  std::vector<std::optional<std::string>> texts;
  texts.reserve(values.size());
  for (const Record& v : values) texts.push_back(param_text(v));
  std::vector<const char*> ptrs;
  ptrs.reserve(texts.size());
  for (const auto& t : texts) ptrs.push_back(t ? t->c_str() : nullptr);
  PgResult res(PQexecParams(conn, sql.c_str(), static_cast<int>(ptrs.size()), nullptr,
                            ptrs.empty() ? nullptr : ptrs.data(), nullptr, nullptr, 0));
  const ExecStatusType st = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) throw result_error(res.get(), conn);
  return res;
}

PgResult execute(PGconn* conn, const Statement& statement) {
  return execute(conn, statement.text, statement.values);
}

Record convert_value(Oid type, std::string_view text) {
  switch (type) {
    case BOOLOID: return text == "t" || text == "true";
    case INT2OID:
    case INT4OID:
    case INT8OID:
      if (auto v = parse_int(text)) return *v;
      break;
    case OIDOID:
      if (auto v = parse_int(text)) return static_cast<unsigned long long>(*v);
      break;
    case FLOAT4OID:
    case FLOAT8OID:
    case NUMERICOID:
      if (auto v = parse_double(text)) return *v;
      break;
    case JSONOID:
    case JSONBOID: {
      Record parsed = Record::parse(text.begin(), text.end(), nullptr, false);
      if (!parsed.is_discarded()) return parsed;
      break;
    }
    case TIMESTAMPOID:
    case TIMESTAMPTZOID: return convert_timestamp(type, text);
    case TIMETZOID: return iso_offset(std::string(text));
    case DATEOID:
    case TIMEOID: return std::string(text);
    default:
      if (Oid elem = element_type(type)) {
        if (auto arr = parse_array(elem, text)) return *arr;
      }
      break;
  }
  return std::string(text);
}

Record row_record(const PGresult* res, int row) {
  Record out = Record::object();
  const int n = PQnfields(res);
  for (int c = 0; c < n; ++c) {
    const char* name = PQfname(res, c);
    if (PQgetisnull(res, row, c)) {
      out[name] = nullptr;
    } else {
      out[name] = convert_value(PQftype(res, c), std::string_view(PQgetvalue(res, row, c),
                                                                  static_cast<std::size_t>(PQgetlength(res, row, c))));
    }
  }
  return out;
}

std::vector<Record> all_rows(const PGresult* res) {
  std::vector<Record> out;
  const int n = PQntuples(res);
  out.reserve(static_cast<std::size_t>(n));
  for (int r = 0; r < n; ++r) out.push_back(row_record(res, r));
  return out;
}

std::optional<Record> first_row(const PGresult* res) {
  if (PQntuples(res) == 0) return std::nullopt;
  return row_record(res, 0);
}

std::size_t affected_rows(const PGresult* res) {
  const char* n = PQcmdTuples(const_cast<PGresult*>(res));
  return (n && *n) ? static_cast<std::size_t>(std::strtoull(n, nullptr, 10)) : 0;
}

Transaction::Transaction(PGconn* conn) : conn_(conn) { execute(conn_, "BEGIN"); }

Transaction::~Transaction() noexcept {
  if (done_ || PQstatus(conn_) != CONNECTION_OK) return;
  PgResult res(PQexec(conn_, "ROLLBACK"));
}

void Transaction::commit() {
  done_ = true;
  PgResult res = execute(conn_, "COMMIT");
  // A COMMIT of a transaction that already failed answers "ROLLBACK".
  if (std::strcmp(PQcmdStatus(res.get()), "ROLLBACK") == 0) {
    throw DatabaseError("the transaction was rolled back instead of committed");
  }
}

namespace {

// The key of the advisory lock of a name: one hash function for every lock.
const char* const kLockKey = "hashtextextended(%s, 0)";

}  // namespace

void advisory_xact_lock(PGconn* conn, std::string_view name) {
  execute(conn, std::string("SELECT pg_advisory_xact_lock(") + kLockKey + ")", {std::string(name)});
}

bool try_advisory_lock(PGconn* conn, std::string_view name) {
  PgResult r = execute(conn, std::string("SELECT pg_try_advisory_lock(") + kLockKey + ") AS locked", {std::string(name)});
  return first_row(r.get()).value_or(Record::object()).value("locked", false);
}

void advisory_unlock(PGconn* conn, std::string_view name) {
  execute(conn, std::string("SELECT pg_advisory_unlock(") + kLockKey + ")", {std::string(name)});
}

bool is_plain_identifier(std::string_view name, bool allow_schema) {
  auto plain = [](std::string_view part) {
    if (part.empty() || (part[0] >= '0' && part[0] <= '9')) return false;
    for (char c : part) {
      const bool ok = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      if (!ok) return false;
    }
    return true;
  };
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) return plain(name);
  return allow_schema && plain(name.substr(0, dot)) && plain(name.substr(dot + 1));
}

void check_identifier(std::string_view name, std::string_view what, bool allow_schema) {
  if (is_plain_identifier(name, allow_schema)) return;
  throw ValueError("Invalid " + std::string(what) + ": " + repr(std::string(name)) +
                   " is not a plain SQL identifier (letters, digits and underscores, not starting with a digit" +
                   (allow_schema ? ", optionally after one schema name and a dot)" : ")"));
}

namespace {
void append_repr_string(std::string& out, const std::string& s) {
  const char q = (s.find('\'') != std::string::npos && s.find('"') == std::string::npos) ? '"' : '\'';
  out += q;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t len = 1;
    const char32_t cp = text::decode(s, i, len);
    char buf[12];
    if (cp == '\\' || cp == static_cast<char32_t>(q)) {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
      out += buf;
    } else if (cp == 0x2028 || cp == 0x2029) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(s, i, len);
    }
    i += len;
  }
  out += q;
}

void append_repr(std::string& out, const Record& v) {
  switch (v.type()) {
    case Record::value_t::null:
    case Record::value_t::discarded: out += "None"; break;
    case Record::value_t::boolean: out += v.get<bool>() ? "True" : "False"; break;
    case Record::value_t::string: append_repr_string(out, v.get_ref<const std::string&>()); break;
    case Record::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        append_repr_string(out, it.key());
        out += ": ";
        append_repr(out, it.value());
      }
      out += '}';
      break;
    }
    case Record::value_t::array: {
      out += '[';
      bool first = true;
      for (const Record& e : v) {
        if (!first) out += ", ";
        first = false;
        append_repr(out, e);
      }
      out += ']';
      break;
    }
    default: out += record::text_of(v); break;
  }
}
}  // namespace

std::string repr(const Record& value) {
  std::string out;
  append_repr(out, value);
  return out;
}

std::string repr_tuple(const std::vector<Record>& values) {
  std::string out = "(";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ", ";
    append_repr(out, values[i]);
  }
  if (values.size() == 1) out += ',';
  return out + ")";
}

std::string repr_list(const std::vector<std::string>& names) {
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    append_repr_string(out, names[i]);
  }
  return out + "]";
}

}  // namespace shared::connectors::pg
