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

/* Windows: puts a process that was created suspended into a kill-on-close job of its own,
 * nested in the caller's job (Windows 8 and later), then lets it run: whatever it starts is in
 * that job too. Returns the job's handle, or NULL where no job could be made or joined; the
 * process runs either way. */
void *ludovane_run_in_own_job(unsigned long process_id);

/* Ends every process in a job from ludovane_run_in_own_job and closes it; NULL is ignored. */
void ludovane_end_job(void *job);

#ifdef __cplusplus
}
#endif

#endif
