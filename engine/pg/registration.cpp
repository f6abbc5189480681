// Enters the server provider in the class registry when the library is loaded, under the
// provider names an initialisation string gives it.
#include "engine/pg/provider.h"

namespace orv::engine::pg {
namespace {

struct Registration {
    Registration() {
        platform::RegisterClass(CLSID_OrvPostgres, u"PostgreSQL", CreateDataSource);
        platform::RegisterProgId(u"PostgreSQL.1", CLSID_OrvPostgres);
    }
};

const Registration kRegistration;

}  // namespace
}  // namespace orv::engine::pg
