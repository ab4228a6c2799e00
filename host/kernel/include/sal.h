// Source annotations of the platform's headers (sal.h), as annotations only:
// the host compiler checks none of them, so each is defined empty. The kernel
// headers include this file, as the platform's do through ntdef.h.
#pragma once

#define _In_
#define _In_opt_
#define _In_z_
#define _In_reads_(Count)
#define _In_reads_bytes_(Bytes)
#define _Out_
#define _Out_opt_
#define _Out_writes_(Count)
#define _Out_writes_bytes_(Bytes)
#define _Out_writes_bytes_to_(Bytes, Written)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_(Count)
#define _Inout_updates_bytes_(Bytes)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _Ret_maybenull_
#define _Must_inspect_result_
#define _Success_(Expression)
#define _When_(Expression, Annotations)
#define _Use_decl_annotations_
#define _Function_class_(Name)
#define _Dispatch_type_(Major)
#define _IRQL_requires_(Irql)
#define _IRQL_requires_max_(Irql)
#define _IRQL_raises_(Irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Requires_lock_held_(Lock)
#define _Requires_lock_not_held_(Lock)
