// Umbrella header of halvex: includes the whole exported interface.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/text/text.h>
#include <halvex/resource/resource_types.h>
#include <halvex/resource/resource.h>
#include <halvex/resource/resource_path.h>
#include <halvex/resource/resource_value.h>
#include <halvex/resource/value_codec.h>
#include <halvex/resource/resource_set.h>
#include <halvex/client/res_protocol.h>
#include <halvex/client/resourceclientlib.h>
#include <halvex/client/resourceclientlib_socket.h>
#include <halvex/client/resourceclientlib_bio.h>
#include <halvex/resource/client_resource.h>
#include <halvex/client/fmp_socket.h>
#include <halvex/client/resourceclientlib_fmp.h>
#include <halvex/platform/errcodes.h>
#include <halvex/platform/syslogext.h>
#include <halvex/platform/postlog.h>
#include <halvex/platform/users.h>
#include <halvex/platform/event.h>
#include <halvex/supervisor/container.h>
#include <halvex/supervisor/supervisor.h>
#include <halvex/platform/fmq.h>
#include <halvex/platform/syslogintf.h>
