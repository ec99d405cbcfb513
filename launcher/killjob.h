#ifndef LUDOVANE_KILLJOB_H
#define LUDOVANE_KILLJOB_H

#ifdef __cplusplus
extern "C" {
#endif

/* Windows: puts the calling process into a new job object that ends every process in it when
 * the job's last handle closes. The handle is never closed, so the system closes it when the
 * process ends, however it ends, and every process started afterwards, which inherits the job,
 * ends with it. Returns 0 where the job cannot be made or joined (an older system, or an outer
 * job that forbids it): the caller carries on without. */
int ludovane_join_kill_job(void);

#ifdef __cplusplus
}
#endif

#endif
