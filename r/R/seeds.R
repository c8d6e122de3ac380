# Seeds: the values the program takes, a seed from R's generator, the seeds of replicates.

# Largest seed magnitude driftsim takes; seeds whose magnitude is a multiple of 262144 leave the
# random bit stream at 0 and are refused.
seed_max <- 2147483646
seed_forbidden_multiple <- 262144

seed_is_valid <- function(seed) {
  abs(seed) >= 1 && abs(seed) <= seed_max && seed %% seed_forbidden_multiple != 0
}

# A seed from R's own generator, so that set.seed() makes a script reproducible.
fresh_seed <- function() {
  repeat {
    seed <- sample.int(seed_max, 1L)
    if (seed_is_valid(seed)) return(seed)
  }
}

replicate_seeds <- function(base_seed, replicates, scenario = "") {
  whole_number(base_seed, "base_seed")
  whole_number(replicates, "replicates")
  if (replicates < 0) {
    stop_driftsim("parameter", sprintf("replicates must be 0 or more and got %.0f", replicates))
  }
  if (!is.character(scenario) || length(scenario) != 1L || is.na(scenario)) {
    stop_driftsim("parameter", "scenario must be a single string")
  }
  base <- whole_text(base_seed)
  seeds <- numeric(0)
  for (k in seq_len(replicates)) {
    seed <- NA
    for (attempt in 0:1000) {
      candidate <- .engine_hashed_seed(base, scenario, k, attempt)
      if (seed_is_valid(candidate) && !(candidate %in% seeds)) {
        seed <- candidate
        break
      }
    }
    if (is.na(seed)) stop_driftsim("internal", "no valid seed found; the seed source is broken")
    seeds <- c(seeds, seed)
  }
  seeds
}
