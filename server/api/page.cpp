// The phone's page and the admin's: their files, read once at start, served under a strict policy.

#include "api/service.h"

#include "http/refusal.h"

#include <brotli/encode.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

namespace belfry {

namespace {

// The phone's page: a fixed list, so that nothing else is ever served. A
// browser runs a module only when it comes as JavaScript.
struct PageFile
{
    const char *path, *file, *type;
};
constexpr const char *Script = "text/javascript; charset=utf-8";
constexpr PageFile PageFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/icon.svg", "icon.svg", "image/svg+xml"},
    // Added to a home screen, the page is an app of its own: its name, colours and icons.
    {"/manifest.webmanifest", "manifest.webmanifest", "application/manifest+json"},
    {"/apple-touch-icon.png", "apple-touch-icon.png", "image/png"},
    {"/icon-192.png", "icon-192.png", "image/png"},
    {"/icon-512.png", "icon-512.png", "image/png"},
    {"/main.js", "main.js", Script},
    {"/camera.js", "camera.js", Script},
    {"/dom.js", "dom.js", Script},
    {"/keep.js", "keep.js", Script},
    {"/net.js", "net.js", Script},
    {"/pairing.js", "pairing.js", Script},
    {"/pcs.js", "pcs.js", Script},
    {"/qr.js", "qr.js", Script},
    {"/send.js", "send.js", Script},
    {"/sent.js", "sent.js", Script},
    {"/texts.js", "texts.js", Script},
    {"/tune.js", "tune.js", Script},
    {"/wave.js", "wave.js", Script},
    {"/qr-worker.js", "qr-worker.js", Script},
    {"/vendor/jsQR.js", "vendor/jsQR.js", Script},
    // The admin page: public, as its data comes only with the admin token.
    {"/admin", "admin.html", "text/html; charset=utf-8"},
    {"/admin.css", "admin.css", "text/css; charset=utf-8"},
    {"/admin.js", "admin.js", Script},
    {"/vendor/uPlot.iife.min.js", "vendor/uPlot.iife.min.js", Script},
    {"/vendor/uPlot.min.css", "vendor/uPlot.min.css", "text/css; charset=utf-8"},
};
// Nothing on the page runs or loads from elsewhere, nor is it framed. Its
// style is inline, so that no style sheet holds up the first paint: the
// policy names it by its hash (StyleSource), taken from index.html at start.
// The admin page's sheets are files of its own ('self').
constexpr const char *PolicyHead = "default-src 'none'; script-src 'self'; style-src 'self'";
constexpr const char *PolicyTail
    = "; img-src 'self' blob: data:; media-src 'self' blob:; connect-src 'self'; manifest-src 'self'; "
      "form-action 'self'; base-uri 'none'; frame-ancestors 'none'";
constexpr const char *PageHeaders[][2] = {
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
};
// The page's own files are asked again each time (an answer of 304 when
// unchanged), so that an update reaches the phone at once; a vendored
// library changes only with its name.
constexpr const char *Revalidate = "no-cache";
constexpr const char *Forever = "public, max-age=31536000, immutable";
constexpr std::string_view Vendored = "/vendor/";

// The whole file, gzipped at the best level; empty when zlib fails.
std::string gzipped(const std::string &plain)
{
    z_stream z {};
    // 15 + 16: a gzip wrapper, which every browser takes.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&z, plain.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(z.total_out);
    deflateEnd(&z);
    return done ? out : std::string();
}

// Brotli's best (11) makes the page's text a fifth smaller again, but
// takes about a second of each start on a shared core; 5 takes tens of
// milliseconds and is still a sixth smaller than gzip's best.
constexpr int BrotliQuality = 5;

// The whole file in brotli; empty when it fails.
std::string brotli(const std::string &plain)
{
    std::string out(BrotliEncoderMaxCompressedSize(plain.size()), '\0');
    size_t size = out.size();
    if (out.empty()
        || !BrotliEncoderCompress(BrotliQuality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, plain.size(),
            reinterpret_cast<const uint8_t *>(plain.data()), &size, reinterpret_cast<uint8_t *>(out.data())))
        return {};
    out.resize(size);
    return out;
}

// A compressed copy worth a Vary that splits the caches: a tenth smaller at
// least (a PNG is compressed already). Else empty.
std::string worthIt(std::string packed, const std::string &plain)
{
    return packed.size() <= plain.size() / 10 * 9 ? packed : std::string();
}

// A strong validator from the bytes themselves (64-bit FNV-1a): the same
// file gives the same tag across restarts and hosts.
std::string etagOf(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : bytes)
        hash = (hash ^ c) * 1099511628211ull;
    char text[20];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

// Each coding of a file is a body of its own with a tag of its own: a cache
// that holds one never takes the other for it.
std::string etagFor(const std::string &etag, const char *coding)
{
    return coding ? etag.substr(0, etag.size() - 1) + "-" + coding + "\"" : etag;
}

// The policy's source for the page's inline style: the hash of each <style>
// block in the HTML, as the browser hashes it, each after a space.
std::string styleSource(const std::string &html)
{
    std::string source;
    for (size_t at = html.find("<style>"); at != std::string::npos; at = html.find("<style>", at)) {
        at += std::string_view("<style>").size();
        const size_t end = html.find("</style>", at);
        if (end == std::string::npos)
            break;
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char *>(html.data() + at), end - at, digest);
        unsigned char text[4 * ((SHA256_DIGEST_LENGTH + 2) / 3) + 1];
        EVP_EncodeBlock(text, digest, SHA256_DIGEST_LENGTH);
        source += std::string(" 'sha256-") + reinterpret_cast<char *>(text) + "'";
    }
    return source;
}

// Whether a list of codings (Accept-Encoding) takes `coding`: named, or by
// "*", and not with q=0.
bool accepts(const std::string &list, std::string_view coding)
{
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        const auto semicolon = item.find(';');
        std::string name = item.substr(0, semicolon);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != coding && name != "*")
            continue;
        const std::string params = semicolon == std::string::npos ? "" : item.substr(semicolon + 1);
        const auto q = params.find("q=");
        return q == std::string::npos || std::strtod(params.c_str() + q + 2, nullptr) > 0;
    }
    return false;
}

// Whether If-None-Match names `etag` (or is "*").
bool unchanged(const std::string &ifNoneMatch, const std::string &etag)
{
    return ifNoneMatch.find(etag) != std::string::npos || ifNoneMatch == "*";
}

}  // namespace

// Read once: a restart picks up edits.
void Service::loadPage()
{
    for (const PageFile &f : PageFiles) {
        const std::string path = options.webRoot + "/" + f.file;
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in || bytes.str().empty()) {
            pageError = "cannot read " + path;
            page.clear();
            return;
        }
        PageBody &body = page[f.file];
        body.plain = bytes.str();
        body.etag = etagOf(body.plain);
        body.gzip = worthIt(gzipped(body.plain), body.plain);
        body.br = worthIt(brotli(body.plain), body.plain);
    }
    pagePolicy = PolicyHead + styleSource(page["index.html"].plain) + PolicyTail;
}

void Service::pageFile(const Request &req, Response &res)
{
    for (const PageFile &f : PageFiles) {
        const auto found = page.find(f.file);
        if (req.path != f.path)
            continue;
        if (found == page.end())
            return refuse(res, Refusal::NotFound, "this service has no phone page");
        const PageBody &body = found->second;
        res.headers.emplace_back("Content-Security-Policy", pagePolicy);
        for (const auto &[name, value] : PageHeaders)
            res.headers.emplace_back(name, value);
        res.headers.emplace_back("Cache-Control", req.path.rfind(Vendored, 0) == 0 ? Forever : Revalidate);
        // Brotli first: it is the smaller.
        const std::pair<const char *, const std::string *> offered[] = {{"br", &body.br}, {"gzip", &body.gzip}};
        const char *coding = nullptr;
        const std::string *bytes = &body.plain;
        for (const auto &[name, packed] : offered) {
            if (!coding && !packed->empty() && accepts(req.header("Accept-Encoding"), name)) {
                coding = name;
                bytes = packed;
            }
        }
        const std::string etag = etagFor(body.etag, coding);
        res.headers.emplace_back("ETag", etag);
        if (!body.gzip.empty() || !body.br.empty())
            res.headers.emplace_back("Vary", "Accept-Encoding");
        if (unchanged(req.header("If-None-Match"), etag)) {
            res.status = 304;
            return;
        }
        if (coding)
            res.headers.emplace_back("Content-Encoding", coding);
        res.setContent(*bytes, f.type);
        return;
    }
    refuse(res, Refusal::NotFound, "no such address");
}

void Service::pageRoutes(std::vector<Route> &routes)
{
    for (const PageFile &f : PageFiles)
        routes.push_back({"GET", f.path, 0, [this](const Request &req, Response &res) {
                              pageFile(req, res);
                          }});
}

}  // namespace belfry
