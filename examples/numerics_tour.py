"""A short tour of the coefficient tables behind log-add and the exponential."""

import tarvek_rs as t

log_add = t.NumericalTableF64(int(t.NumericalTable.LogAdd))
exponential = t.NumericalTableF64(int(t.NumericalTable.Exponential))
print("log-add table, first and last entries:", log_add.get(0), log_add.get(6999))
print("exponential table, first and last entries:", exponential.get(0), exponential.get(6999))
print("log_add(0, 0)   f32:", t.numerical_log_add_f32(0.0, 0.0), " f64:", t.numerical_log_add_f64(0.0, 0.0))
print("log_add(0, -7)  f64:", t.numerical_log_add_f64(0.0, -7.0), "(the difference exceeds 6.91)")
print("exponential(1)  f32:", t.numerical_exponential_f32(1.0))
print("exponential(-1) f64:", t.numerical_exponential_f64(-1.0))
print("constants:", t.numerical_constants())
