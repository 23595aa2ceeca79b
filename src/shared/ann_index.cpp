#include "shared/ann_index.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE__)
#include <immintrin.h>
// hnswlib 0.6.2's searches prefetch the entry after a list's last, reading
// past the end of a node's upper-layer list (and its addresses are computed
// from what is read there): the hints are dropped, the reads with them.
#undef _mm_prefetch
#define _mm_prefetch(address, hint) ((void)0)
#endif
#include <hnswlib/hnswlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <thread>

#include "shared/cosine.hpp"
#include "shared/errors.hpp"

namespace shared::ann_index {

using cosine::dot;
using cosine::normalise;
using cosine::upper;

namespace {

using Graph = hnswlib::HierarchicalNSW<float>;

constexpr char kMagic[8] = {'K', 'E', 'S', 'T', 'O', 'A', 'N', 'N'};
constexpr std::uint64_t kVersion = 1;
// The base layer starts at a multiple of this in the file, so that it can be
// mapped into memory rather than copied (any page size up to 64 KiB).
constexpr std::uint64_t kAlign = 65536;
constexpr std::uint64_t kByteOrder = 0x0102030405060708ULL;
constexpr std::uint64_t kNoEntry = std::numeric_limits<std::uint64_t>::max();
// Room for new rows before the graph's memory must grow.
constexpr std::size_t kHeadroom = 1024;
// A level this high would take more nodes than memory holds (each level
// keeps about 1/M of the one below).
constexpr std::int64_t kMaxLevel = 64;

// All fields 8 bytes wide: no padding, the same layout wherever the byte
// order matches (kByteOrder tells).
struct FileHeader {
  char magic[8];
  std::uint64_t version, byte_order;
  std::uint64_t dimension, M, ef_construction, ef;
  std::uint64_t elements, deleted;
  std::int64_t max_level;
  std::uint64_t entry;
  std::int64_t generation;
  std::uint64_t size_data_per_element, size_links_level0, size_links_per_element;
  std::uint64_t key_bytes, ids_bytes, level0_bytes, links_bytes;
};

std::string id_key(const std::string& qd, const std::string& key) { return qd + '\0' + key; }

// Sequential reads from a buffer that never step past its end.
class Reader {
 public:
  Reader(const char* p, std::size_t n) : p_(p), n_(n) {}
  bool u8(std::uint8_t& v) { return take(&v, 1); }
  bool u32(std::uint32_t& v) { return take(&v, 4); }
  bool text(std::string& s) {
    std::uint32_t n = 0;
    if (!u32(n) || n > n_ - at_) return false;
    s.assign(p_ + at_, n);
    at_ += n;
    return true;
  }
  bool bytes(char* out, std::size_t n) { return take(out, n); }
  bool done() const { return at_ == n_; }

 private:
  bool take(void* out, std::size_t n) {
    if (n > n_ - at_) return false;
    std::memcpy(out, p_ + at_, n);
    at_ += n;
    return true;
  }
  const char* p_;
  std::size_t n_, at_ = 0;
};

void put_u32(std::string& out, std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void put_text(std::string& out, const std::string& s) {
  put_u32(out, static_cast<std::uint32_t>(s.size()));
  out += s;
}

bool read_exact(int fd, char* p, std::size_t n, off_t at) {
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, std::min<std::size_t>(n, std::size_t{1} << 30), at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
    at += got;
  }
  return true;
}

void write_all(int fd, const char* p, std::size_t n, const std::string& path) {
  while (n > 0) {
    const ssize_t put = ::write(fd, p, std::min<std::size_t>(n, std::size_t{1} << 30));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw Error("cannot write " + path + ": " + std::strerror(errno));
    p += put;
    n -= static_cast<std::size_t>(put);
  }
}

// Closes a descriptor on every way out.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

AnnIndex::AnnIndex(std::size_t dimension, std::size_t capacity, AnnParams params)
    : dim_(dimension),
      params_(params),
      space_(std::make_unique<hnswlib::InnerProductSpace>(dimension)),
      graph_(std::make_unique<Graph>(space_.get(), std::max<std::size_t>(capacity, 1), params.M,
                                     params.ef_construction)) {
  graph_->setEf(params_.ef);
}

AnnIndex::~AnnIndex() {
  if (mapped_) {
    // The graph frees its base layer with free(): a mapped one is unmapped here.
    graph_->data_level0_memory_ = nullptr;
    ::munmap(mapped_, mapped_bytes_);
  }
}

void AnnIndex::own_memory() {
  if (!mapped_) return;
  // Growing a mapped base layer takes a copy of its own first (realloc()
  // cannot move a mapping); the mapping goes at once.
  const std::size_t bytes = graph_->max_elements_ * graph_->size_data_per_element_;
  char* own = static_cast<char*>(std::malloc(bytes));
  if (!own) throw std::bad_alloc();
  std::memcpy(own, mapped_, graph_->cur_element_count * graph_->size_data_per_element_);
  ::munmap(mapped_, mapped_bytes_);
  mapped_ = nullptr;
  graph_->data_level0_memory_ = own;
}

std::size_t AnnIndex::size() const {
  std::shared_lock lock(mu_);
  return slots_.size() - free_.size();
}

std::size_t AnnIndex::deleted() const {
  std::shared_lock lock(mu_);
  return free_.size();
}

std::int64_t AnnIndex::generation() const {
  std::shared_lock lock(mu_);
  return generation_;
}

void AnnIndex::set_generation(std::int64_t generation) {
  std::unique_lock lock(mu_);
  generation_ = generation;
}

void AnnIndex::set_ef(std::size_t ef) {
  std::unique_lock lock(mu_);
  params_.ef = std::max<std::size_t>(ef, 1);
  graph_->setEf(params_.ef);
}

void AnnIndex::set_exact(bool exact) {
  std::unique_lock lock(mu_);
  exact_ = exact;
}

std::vector<Ranked> AnnIndex::nearest(const std::vector<double>& query, std::size_t k,
                                      std::string_view qd_number) const {
  std::vector<Ranked> out;
  if (k == 0 || query.size() != dim_ || dim_ == 0) return out;
  const std::vector<float> q = cosine::unit_query(query);
  if (q.empty()) return out;

  std::shared_lock lock(mu_);
  std::vector<std::pair<float, std::size_t>> scored;  // score, label
  if (!qd_number.empty()) {
    // One document's rows are few: all of them are scored, so that its
    // search is exact.
    const auto it = by_qd_.find(upper(qd_number));
    if (it == by_qd_.end()) return out;
    for (std::size_t label : it->second) {
      const auto internal = graph_->label_lookup_.find(label);
      if (internal == graph_->label_lookup_.end()) continue;
      scored.emplace_back(dot(q.data(), reinterpret_cast<const float*>(graph_->getDataByInternalId(internal->second)), dim_),
                          label);
    }
  } else if (exact_) {
    const std::size_t n = graph_->cur_element_count;
    scored.reserve(n - graph_->num_deleted_);
    for (std::size_t i = 0; i < n; ++i) {
      if (graph_->isMarkedDeleted(static_cast<hnswlib::tableint>(i))) continue;
      scored.emplace_back(dot(q.data(), reinterpret_cast<const float*>(graph_->getDataByInternalId(i)), dim_),
                          graph_->getExternalLabel(i));
    }
    // Only the best k need their order.
    if (scored.size() > k) {
      std::nth_element(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(k - 1), scored.end(),
                       [](const auto& a, const auto& b) { return a.first > b.first; });
      const float kth = scored[k - 1].first;
      // Ties with the k-th stay, to be ordered by name below.
      scored.erase(std::remove_if(scored.begin(), scored.end(), [&](const auto& x) { return x.first < kth; }),
                   scored.end());
    }
  } else {
    if (slots_.size() == free_.size()) return out;
    auto found = graph_->searchKnn(q.data(), k);
    while (!found.empty()) {
      scored.emplace_back(1.0f - found.top().first, found.top().second);
      found.pop();
    }
  }
  std::sort(scored.begin(), scored.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first > b.first;
    const Row& x = slots_[a.second].row;
    const Row& y = slots_[b.second].row;
    return x.qd_number != y.qd_number ? x.qd_number < y.qd_number : x.section_key < y.section_key;
  });
  for (std::size_t i = 0; i < scored.size() && i < k; ++i) {
    const Row& r = slots_[scored[i].second].row;
    out.push_back(Ranked{.qd_number = r.qd_number, .section_key = r.section_key, .score = scored[i].first});
  }
  return out;
}

void AnnIndex::index_row(std::size_t label) {
  const Row& r = slots_[label].row;
  by_id_[id_key(r.qd_number, r.section_key)] = label;
  by_qd_[upper(r.qd_number)].push_back(label);
}

void AnnIndex::unindex_row(std::size_t label) {
  const Row& r = slots_[label].row;
  by_id_.erase(id_key(r.qd_number, r.section_key));
  const auto it = by_qd_.find(upper(r.qd_number));
  if (it == by_qd_.end()) return;
  auto& labels = it->second;
  labels.erase(std::remove(labels.begin(), labels.end(), label), labels.end());
  if (labels.empty()) by_qd_.erase(it);
}

std::size_t AnnIndex::add_batch(std::vector<std::pair<Row, std::vector<float>>>& rows, unsigned threads) {
  std::unique_lock lock(mu_);
  std::vector<std::pair<std::size_t, const float*>> work;
  work.reserve(rows.size());
  for (auto& [row, vec] : rows) {
    if (vec.size() != dim_ || by_id_.count(id_key(row.qd_number, row.section_key))) continue;
    normalise(vec);
    const std::size_t label = slots_.size();
    slots_.push_back(Slot{.live = true, .row = row});
    index_row(label);
    work.emplace_back(label, vec.data());
  }
  if (graph_->cur_element_count + work.size() > graph_->max_elements_) {
    own_memory();
    graph_->resizeIndex(std::max(graph_->max_elements_ * 2, graph_->cur_element_count + work.size() + kHeadroom));
  }
  // hnswlib links new nodes from several threads at once.
  std::atomic<std::size_t> next{0};
  std::exception_ptr failed;
  std::mutex failed_mu;
  auto run = [&] {
    try {
      for (std::size_t i = next++; i < work.size(); i = next++) graph_->addPoint(work[i].second, work[i].first);
    } catch (...) {
      std::lock_guard g(failed_mu);
      failed = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::max(1u, threads) && t < work.size(); ++t) pool.emplace_back(run);
  run();
  for (auto& t : pool) t.join();
  if (failed) std::rethrow_exception(failed);
  return work.size();
}

std::vector<std::size_t> AnnIndex::missing(const std::vector<Row>& current) const {
  std::shared_lock lock(mu_);
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < current.size(); ++i) {
    const Row& r = current[i];
    const auto it = by_id_.find(id_key(r.qd_number, r.section_key));
    if (it == by_id_.end() || slots_[it->second].row.content_sha256 != r.content_sha256 ||
        slots_[it->second].row.version != r.version) {
      out.push_back(i);
    }
  }
  return out;
}

std::vector<std::size_t> AnnIndex::stale(const std::vector<Row>& current) const {
  std::unordered_map<std::string, const Row*> now;
  now.reserve(current.size());
  for (const Row& r : current) now.emplace(id_key(r.qd_number, r.section_key), &r);
  std::shared_lock lock(mu_);
  std::vector<std::size_t> out;
  for (std::size_t label = 0; label < slots_.size(); ++label) {
    const Slot& s = slots_[label];
    if (!s.live) continue;
    const auto it = now.find(id_key(s.row.qd_number, s.row.section_key));
    if (it == now.end() || it->second->content_sha256 != s.row.content_sha256 || it->second->version != s.row.version) {
      out.push_back(label);
    }
  }
  return out;
}

std::size_t AnnIndex::update(const std::vector<std::size_t>& gone, std::vector<std::pair<Row, std::vector<float>>>& added,
                             std::int64_t generation) {
  std::unique_lock lock(mu_);
  for (std::size_t label : gone) {
    if (label >= slots_.size() || !slots_[label].live) continue;
    graph_->markDelete(label);
    unindex_row(label);
    slots_[label].live = false;
    slots_[label].row = Row{};
    free_.push_back(label);
  }
  std::size_t n = 0;
  for (auto& [row, vec] : added) {
    if (vec.size() != dim_ || by_id_.count(id_key(row.qd_number, row.section_key))) continue;
    normalise(vec);
    std::size_t label;
    if (!free_.empty()) {
      // A deleted node keeps its label: adding under it again puts the new
      // vector in its place and links it anew.
      label = free_.back();
      free_.pop_back();
    } else {
      label = slots_.size();
      slots_.push_back(Slot{});
      if (graph_->cur_element_count + 1 > graph_->max_elements_) {
        own_memory();
        graph_->resizeIndex(graph_->max_elements_ + std::max(kHeadroom, graph_->max_elements_ / 8));
      }
    }
    graph_->addPoint(vec.data(), label);
    slots_[label] = Slot{.live = true, .row = std::move(row)};
    index_row(label);
    ++n;
  }
  generation_ = generation;
  return n;
}

void AnnIndex::save(const std::string& path, std::string_view key) const {
  std::shared_lock lock(mu_);
  const Graph& g = *graph_;
  std::string ids;
  for (const Slot& s : slots_) {
    ids.push_back(s.live ? 1 : 0);
    put_text(ids, s.row.qd_number);
    put_text(ids, s.row.section_key);
    put_text(ids, s.row.content_sha256);
    put_text(ids, s.row.version);
  }
  std::string links;
  for (std::size_t i = 0; i < g.cur_element_count; ++i) {
    const auto size = static_cast<std::uint32_t>(g.element_levels_[i] > 0 ? g.size_links_per_element_ * g.element_levels_[i] : 0);
    put_u32(links, size);
    if (size) links.append(g.linkLists_[i], size);
  }
  FileHeader h{};
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  h.version = kVersion;
  h.byte_order = kByteOrder;
  h.dimension = dim_;
  h.M = g.M_;
  h.ef_construction = g.ef_construction_;
  h.ef = params_.ef;
  h.elements = g.cur_element_count;
  h.deleted = g.num_deleted_;
  h.max_level = g.cur_element_count ? g.maxlevel_ : -1;
  h.entry = g.cur_element_count ? g.enterpoint_node_ : kNoEntry;
  h.generation = generation_;
  h.size_data_per_element = g.size_data_per_element_;
  h.size_links_level0 = g.size_links_level0_;
  h.size_links_per_element = g.size_links_per_element_;
  h.key_bytes = key.size();
  h.ids_bytes = ids.size();
  h.level0_bytes = g.cur_element_count * g.size_data_per_element_;
  h.links_bytes = links.size();

  std::random_device rd;
  const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(rd());
  Fd f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600)};
  if (f.fd < 0) throw Error("cannot create " + tmp + ": " + std::strerror(errno));
  try {
    write_all(f.fd, reinterpret_cast<const char*>(&h), sizeof h, tmp);
    write_all(f.fd, key.data(), key.size(), tmp);
    write_all(f.fd, ids.data(), ids.size(), tmp);
    const std::string pad((kAlign - (sizeof h + key.size() + ids.size()) % kAlign) % kAlign, '\0');
    write_all(f.fd, pad.data(), pad.size(), tmp);
    write_all(f.fd, g.data_level0_memory_, h.level0_bytes, tmp);
    write_all(f.fd, links.data(), links.size(), tmp);
    // The rename must not publish a file whose blocks are not yet written.
    if (::fsync(f.fd) != 0) throw Error("cannot write " + tmp + ": " + std::strerror(errno));
    ::close(f.fd);
    f.fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
      throw Error("cannot rename " + tmp + " to " + path + ": " + std::strerror(errno));
    }
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

std::unique_ptr<AnnIndex> AnnIndex::load(const std::string& path, std::string_view key, std::string& why) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
  if (f.fd < 0) {
    why = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    return nullptr;
  }
  if (st.st_uid != ::geteuid()) {
    why = "owned by another user";
    return nullptr;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    why = "writable by others";
    return nullptr;
  }
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  FileHeader h{};
  if (file_size < sizeof h || !read_exact(f.fd, reinterpret_cast<char*>(&h), sizeof h, 0)) {
    why = "shorter than its header";
    return nullptr;
  }
  if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != kVersion || h.byte_order != kByteOrder) {
    why = "not a vector index file of this version";
    return nullptr;
  }
  auto bad = [&](std::string reason) -> std::unique_ptr<AnnIndex> {
    why = std::move(reason);
    return nullptr;
  };
  if (h.dimension == 0 || h.dimension > 65536) return bad("dimension out of range");
  if (h.M < 2 || h.M > 1024 || h.ef_construction < 1 || h.ef_construction > 100000 || h.ef < 1 || h.ef > 100000) {
    return bad("graph parameters out of range");
  }
  if (h.elements > std::numeric_limits<std::uint32_t>::max() / 2 || h.deleted > h.elements) {
    return bad("element count out of range");
  }
  // Each part must fit in what is left of the file before the next is added.
  std::uint64_t left = file_size - sizeof h;
  for (std::uint64_t part : {h.key_bytes, h.ids_bytes}) {
    if (part > left) return bad("its parts are larger than the file");
    left -= part;
  }
  const std::uint64_t pad = (kAlign - (file_size - left) % kAlign) % kAlign;
  for (std::uint64_t part : {pad, h.level0_bytes, h.links_bytes}) {
    if (part > left) return bad("its parts are larger than the file");
    left -= part;
  }
  if (left != 0) return bad("its size does not match its parts");
  if (h.key_bytes != key.size()) return bad("made for another index");
  // The rest is read through a read-only view of the file: its pages come
  // from the page cache without being copied.
  void* view = ::mmap(nullptr, file_size, PROT_READ, MAP_PRIVATE, f.fd, 0);
  if (view == MAP_FAILED) return bad(std::string("cannot map it: ") + std::strerror(errno));
  struct Unmap {
    void* p;
    std::size_t n;
    ~Unmap() { ::munmap(p, n); }
  } unmap{view, file_size};
  const char* bytes = static_cast<const char*>(view);
  std::string stored_key(h.key_bytes, '\0');
  std::uint64_t at = sizeof h;
  if (!read_exact(f.fd, stored_key.data(), stored_key.size(), static_cast<off_t>(at)) || stored_key != key) {
    return bad("made for another index");
  }
  at += h.key_bytes;

  AnnParams params{.M = h.M, .ef_construction = h.ef_construction, .ef = h.ef};
  // Room to grow without copying: the part past the file is mapped
  // anonymous memory, untouched until rows are added.
  const std::size_t capacity = h.elements + std::max<std::size_t>(kHeadroom, h.elements / 4);
  auto index = std::make_unique<AnnIndex>(h.dimension, capacity, params);
  Graph& g = *index->graph_;
  if (g.size_data_per_element_ != h.size_data_per_element || g.size_links_level0_ != h.size_links_level0 ||
      g.size_links_per_element_ != h.size_links_per_element || g.ef_construction_ != h.ef_construction) {
    return bad("graph layout does not match its parameters");
  }
  if (h.level0_bytes != h.elements * h.size_data_per_element) return bad("base layer size does not match its elements");

  // The row identities.
  {
    Reader r(bytes + at, h.ids_bytes);
    at += h.ids_bytes;
    index->slots_.reserve(h.elements);
    for (std::uint64_t i = 0; i < h.elements; ++i) {
      std::uint8_t live = 0;
      Slot s;
      if (!r.u8(live) || live > 1 || !r.text(s.row.qd_number) || !r.text(s.row.section_key) ||
          !r.text(s.row.content_sha256) || !r.text(s.row.version)) {
        return bad("its row table is malformed");
      }
      s.live = live == 1;
      index->slots_.push_back(std::move(s));
    }
    if (!r.done()) return bad("its row table does not match its element count");
  }
  index->by_id_.reserve(index->slots_.size());
  for (std::size_t label = 0; label < index->slots_.size(); ++label) {
    const Slot& s = index->slots_[label];
    if (!s.live) {
      index->free_.push_back(label);
      continue;
    }
    if (index->by_id_.count(id_key(s.row.qd_number, s.row.section_key))) return bad("a row appears twice");
    index->index_row(label);
  }
  if (index->free_.size() != h.deleted) return bad("its deleted rows do not match its row table");

  // The base layer goes straight into the graph's memory: the vectors are
  // held once.
  at += pad;
  {
    // Mapped, not read: the pages come from the file as they are touched,
    // and a page is copied only when an update writes it.
    const std::size_t bytes = capacity * g.size_data_per_element_;
    void* region = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) throw std::bad_alloc();
    std::free(g.data_level0_memory_);
    g.data_level0_memory_ = static_cast<char*>(region);
    index->mapped_ = region;
    index->mapped_bytes_ = bytes;
    if (h.level0_bytes > 0 &&
        (::mmap(region, h.level0_bytes, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, f.fd,
                static_cast<off_t>(at)) == MAP_FAILED ||
         ::mprotect(region, h.level0_bytes, PROT_READ | PROT_WRITE) != 0)) {
      return bad(std::string("cannot map its base layer: ") + std::strerror(errno));
    }
  }
  at += h.level0_bytes;

  const auto n = static_cast<std::uint32_t>(h.elements);
  std::vector<char> seen(n, 0);
  std::size_t deleted = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const auto* head = reinterpret_cast<const unsigned char*>(g.get_linklist0(i));
    const unsigned short count = g.getListCount(g.get_linklist0(i));
    if (head[2] > 1 || head[3] != 0 || count > g.maxM0_) return bad("a base-layer link list is malformed");
    const hnswlib::labeltype label = g.getExternalLabel(i);
    if (label >= n || seen[label]) return bad("a node's label is out of range or repeated");
    seen[label] = 1;
    const bool marked = head[2] == 1;
    if (marked == index->slots_[label].live) return bad("a node's deletion mark does not match its row");
    deleted += marked;
    const auto* to = reinterpret_cast<const hnswlib::tableint*>(g.get_linklist0(i) + 1);
    for (unsigned short j = 0; j < count; ++j) {
      if (to[j] >= n) return bad("a link points past the last node");
    }
  }
  if (deleted != h.deleted) return bad("its deletion marks do not match its header");

  // Upper layers: each node's lists, allocated as the graph would have.
  Reader r(bytes + at, h.links_bytes);
  std::int64_t top = -1;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t bytes = 0;
    if (!r.u32(bytes) || bytes % g.size_links_per_element_ != 0) return bad("an upper-layer list is malformed");
    const std::int64_t level = bytes / g.size_links_per_element_;
    if (level > kMaxLevel || level > h.max_level) return bad("a node's level is out of range");
    g.element_levels_[i] = static_cast<int>(level);
    g.linkLists_[i] = nullptr;
    if (level > 0) {
      g.linkLists_[i] = static_cast<char*>(std::malloc(bytes));
      if (!g.linkLists_[i]) throw std::bad_alloc();
      // Counted before the copy, so that the graph frees the list if the copy fails.
      g.cur_element_count = i + 1;
      if (!r.bytes(g.linkLists_[i], bytes)) return bad("an upper-layer list is truncated");
    }
    // The graph frees what it allocated for nodes up to its count.
    g.cur_element_count = i + 1;
    top = std::max(top, level);
  }
  if (!r.done()) return bad("its links do not match its element count");
  for (std::uint32_t i = 0; i < n; ++i) {
    for (int level = 1; level <= g.element_levels_[i]; ++level) {
      unsigned int* list = g.get_linklist(i, level);
      const unsigned short count = g.getListCount(list);
      if (count > g.maxM_) return bad("an upper-layer list is too long");
      const auto* to = reinterpret_cast<const hnswlib::tableint*>(list + 1);
      for (unsigned short j = 0; j < count; ++j) {
        // A search follows a link on the level it was found on.
        if (to[j] >= n || g.element_levels_[to[j]] < level) return bad("an upper-layer link is out of range");
      }
    }
  }
  if (n == 0) {
    if (h.entry != kNoEntry || h.max_level != -1) return bad("an empty graph with an entry point");
  } else {
    if (h.entry >= n || top != h.max_level || g.element_levels_[h.entry] != h.max_level) {
      return bad("its entry point is not a node of the top level");
    }
    g.enterpoint_node_ = static_cast<hnswlib::tableint>(h.entry);
    g.maxlevel_ = static_cast<int>(h.max_level);
  }
  g.label_lookup_.reserve(n);
  for (std::uint32_t i = 0; i < n; ++i) g.label_lookup_[g.getExternalLabel(i)] = i;
  g.num_deleted_ = deleted;
  g.setEf(params.ef);
  index->generation_ = h.generation;
  return index;
}

}  // namespace shared::ann_index
