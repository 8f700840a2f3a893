// The phone's page: its files, read once at start, served under a strict policy.

#include "api/service.h"

#include "http/refusal.h"

#include <fstream>
#include <sstream>

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
    {"/style.css", "style.css", "text/css; charset=utf-8"},
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
    {"/qr-worker.js", "qr-worker.js", Script},
    {"/vendor/jsQR.js", "vendor/jsQR.js", Script},
};
// Nothing on the page runs or loads from elsewhere, nor is it framed.
constexpr const char *PageHeaders[][2] = {
    {"Content-Security-Policy",
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
        "media-src 'self' blob:; connect-src 'self'; manifest-src 'self'; form-action 'self'; base-uri 'none'; "
        "frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-cache"},
};

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
        page[f.file] = bytes.str();
    }
}

void Service::pageFile(const Request &req, Response &res)
{
    for (const PageFile &f : PageFiles) {
        const auto found = page.find(f.file);
        if (req.path != f.path)
            continue;
        if (found == page.end())
            return refuse(res, Refusal::NotFound, "this service has no phone page");
        res.setContent(found->second, f.type);
        for (const auto &[name, value] : PageHeaders)
            res.headers.emplace_back(name, value);
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
