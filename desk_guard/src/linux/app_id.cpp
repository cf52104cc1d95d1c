// The application user-model id exists on Windows only.
#include "vyr/desk_guard/screen_fit.hpp"

namespace vyr::desk_guard {

bool set_app_user_model_id(const QString& /*id*/) { return false; }

}  // namespace vyr::desk_guard
