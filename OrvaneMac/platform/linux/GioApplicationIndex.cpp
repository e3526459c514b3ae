#include "OrvaneMac/platform/linux/GioApplicationIndex.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <utility>

namespace orvane {

namespace {

struct Pending {
  ApplicationIndex::FinishHandler handler;
  bool live = true;
};

class GioQuery final : public ApplicationQuery {
 public:
  explicit GioQuery(std::shared_ptr<Pending> pending) : pending_(std::move(pending)) {}
  ~GioQuery() override { pending_->live = false; }

 private:
  std::shared_ptr<Pending> pending_;
};

}  // namespace

std::vector<ApplicationIndexItem> GioApplicationIndex::gather() {
  std::vector<ApplicationIndexItem> items;
  GList* all = g_app_info_get_all();
  for (GList* item = all; item; item = item->next) {
    auto* info = G_APP_INFO(item->data);
    if (!G_IS_DESKTOP_APP_INFO(info) || !g_app_info_should_show(info)) continue;
    ApplicationIndexItem result;
    if (const char* path = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(info))) result.path = path;
    if (const char* name = g_app_info_get_name(info)) result.displayName = name;
    items.push_back(std::move(result));
  }
  g_list_free_full(all, g_object_unref);
  return items;
}

std::unique_ptr<ApplicationQuery> GioApplicationIndex::startApplicationQuery(FinishHandler onFinishGathering) {
  auto pending = std::make_shared<Pending>();
  pending->handler = std::move(onFinishGathering);
  main_.post([weak = std::weak_ptr<Pending>(pending)] {
    auto p = weak.lock();
    if (!p || !p->live) return;
    p->live = false;
    // The handler may destroy the query, and with it `p`'s other owner.
    auto handler = std::move(p->handler);
    handler(gather());
  });
  return std::make_unique<GioQuery>(std::move(pending));
}

}  // namespace orvane
