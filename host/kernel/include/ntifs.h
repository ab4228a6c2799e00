// The host build's <ntifs.h>: <ntddk.h> and the file-system side of
// security: the token of the subject that sent a request.
#pragma once

#include <ntddk.h>

// ---------------------------------------------------------------------------
// Security: who sent IRP_MJ_CREATE
// ---------------------------------------------------------------------------

#define SeQuerySubjectContextToken(SubjectContext)                                                           \
    (((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken                                              \
         ? ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken                                        \
         : ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->PrimaryToken)
NT_BEGIN_DECLS
BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token);
NT_END_DECLS
